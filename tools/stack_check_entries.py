"""Part of the thread stack check (stack_check.py): which code each thread and handler of the
table runs, read from the source text of the calls that make them, and the calls that make them
where the check can't see them (looked up by name)."""
import os
import re

# Calls that start code on another thread, or on a stack of its own: such a thread is the
# table's business. Each maps to the positions (from 0) of the arguments that name the code that
# runs there, as the functions' documentation gives them; None where no argument names it.
THREAD_MAKERS = {
    "CreateThread": (2,),
    "CreateRemoteThread": (3,),
    "CreateRemoteThreadEx": (3,),
    "_beginthread": (0,),
    "_beginthreadex": (2,),
    "pthread_create": (2,),
    "RegisterWaitForSingleObject": (2,),
    "RegisterWaitForSingleObjectEx": (1,),
    "QueueUserWorkItem": (0,),
    "CreateTimerQueueTimer": (2,),
    "CreateThreadpoolWork": (0,),
    "CreateThreadpoolWait": (0,),
    "CreateThreadpoolTimer": (0,),
    "CreateThreadpoolIo": (1,),
    "TrySubmitThreadpoolCallback": (0,),
    "SetConsoleCtrlHandler": (0,),
    "CreateFiber": (1,),
    "CreateFiberEx": (3,),
    # The thread's procedure, and the callback that runs on the new thread before it.
    "SHCreateThread": (0, 3),
    "RtlCreateUserThread": (6,),
    "NtCreateThreadEx": (4,),
    "_ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE": None,
}

# Calls that register code that the system runs on the stack of whichever thread faults.
HANDLER_REGISTRARS = {
    "AddVectoredExceptionHandler": (1,),
    "AddVectoredContinueHandler": (1,),
    "SetUnhandledExceptionFilter": (0,),
}


class Sources:
    """The source texts that call sites name, read once."""

    def __init__(self, root):
        self.root = root
        self.texts = {}

    def line_start(self, site):
        """(text, offset of the site's line) for a call site "FILE:LINE:COLUMN", or None."""
        parts = site.rsplit(":", 2) if site else []
        if len(parts) != 3 or not parts[1].isdigit():
            return None
        path = parts[0] if os.path.isabs(parts[0]) else os.path.join(self.root, parts[0])
        if path not in self.texts:
            try:
                with open(path, encoding="utf-8", errors="replace") as code:
                    self.texts[path] = code.read()
            except OSError:
                self.texts[path] = None
        text = self.texts[path]
        if text is None:
            return None
        offset = 0
        for _ in range(int(parts[1]) - 1):
            offset = text.find("\n", offset) + 1
            if offset == 0:
                return None
        return text, offset


def call_arguments(sources, site, name):
    """The argument texts of the call of name that begins on the site's line, or None."""
    found = sources.line_start(site)
    if found is None:
        return None
    text, line = found
    call = re.compile(r"\b" + re.escape(name) + r"\s*\(").search(text, line)
    line_end = text.find("\n", line)
    if call is None or (line_end != -1 and call.start() > line_end):
        return None
    arguments = []
    depth = 1
    start = call.end()
    for position in range(call.end(), len(text)):
        character = text[position]
        if character in "([{":
            depth += 1
        elif character in ")]}":
            depth -= 1
            if depth == 0:
                arguments.append(text[start:position].strip())
                return arguments
        elif character == "," and depth == 1:
            arguments.append(text[start:position].strip())
            start = position + 1
    return None


def named_function(argument):
    """The function an argument names ("" for none), through casts and an address-of; None when
    it names none by itself (a variable, a lambda, an expression)."""
    text = argument.strip()
    while True:
        cast = re.fullmatch(r"(?:reinterpret_cast|static_cast|const_cast)\s*<.*>\s*\((.*)\)", text,
                            re.S)
        c_cast = re.fullmatch(r"\(\s*[A-Za-z_][\w:\s*]*\)\s*([&A-Za-z_].*)", text, re.S)
        if cast or c_cast:
            text = (cast or c_cast).group(1).strip()
        elif text.startswith("&"):
            text = text[1:].strip()
        else:
            break
    if text in ("nullptr", "NULL", "0"):
        return ""
    if re.fullmatch(r"(?:\w+::)*~?\w+", text):
        return text.split("::")[-1]
    return None


def check_code_passed(table, functions, sources, problems):
    """Every call that makes a thread or registers a handler comes from a maker of a row and
    passes one of that row's entries; every row's entries are passed by its makers."""
    rows = [("thread", row) for row in table.threads] + \
           [("handler", row) for row in table.handlers]
    passed = set()  # (row kind, row name, entry) passed by one of the row's makers
    defined_names = {function.name for function in functions.values() if function.defined}
    unreadable_rows = set()
    for function in functions.values():
        if not function.defined:
            continue
        for target, site in function.calls:
            callee = functions.get(target)
            callee_name = callee.name if callee else target
            for kind, kinds in (("thread", THREAD_MAKERS), ("handler", HANDLER_REGISTRARS)):
                maker = target if target in kinds else callee_name if callee_name in kinds \
                    else None
                if maker is None:
                    continue
                own_rows = [row for row_kind, row in rows
                            if row_kind == kind and function.name in row["makers"]]
                what = "starts a thread" if kind == "thread" else "registers a handler"
                if not own_rows:
                    problems.append(
                        f"{function.signature} ({site}) {what} through {callee_name}, and no "
                        f"{kind} of the table is made by {function.name}: add a row for it")
                    continue
                positions = kinds[maker]
                if positions is None:
                    unreadable_rows.update(row["name"] for row in own_rows)
                    continue
                arguments = call_arguments(sources, site, callee_name)
                if arguments is None or len(arguments) <= max(positions):
                    problems.append(f"{function.signature} ({site}) {what} through "
                                    f"{callee_name}, whose arguments can't be read there: call it "
                                    f"by its name, on the line the call site names")
                    continue
                for position in positions:
                    entry = named_function(arguments[position])
                    if entry == "":
                        continue
                    if entry is None or entry not in defined_names:
                        problems.append(f"{function.signature} ({site}) passes "
                                        f"`{arguments[position]}` to {callee_name}, which names no "
                                        f"function of the objects: pass the entry by its name")
                        continue
                    matching = [row for row in own_rows if entry in
                                [name.split(":")[-1] for name in row["entries"]]]
                    if not matching:
                        problems.append(
                            f"{function.signature} ({site}) passes {entry} to {callee_name}, "
                            f"which no {kind} row made by {function.name} names as its entry")
                    for row in matching:
                        passed.add((kind, row["name"], entry))
    for kind, row in rows:
        if not row["makers"] or row["name"] in unreadable_rows:
            continue
        for entry in row["entries"]:
            if (kind, row["name"], entry.split(":")[-1]) not in passed:
                problems.append(f"{kind} {row['name']}: none of its makers "
                                f"({', '.join(row['makers'])}) passes its entry {entry}")


def check_names_looked_up(functions, sources, problems):
    """A thread maker or handler registrar named in a string (looked up with GetProcAddress) is
    called through a pointer, which the check can't follow."""
    names = "|".join(re.escape(name) for name in list(THREAD_MAKERS) + list(HANDLER_REGISTRARS))
    looked_up = re.compile(r'"(' + names + r')"')
    files = {f.where.rsplit(":", 2)[0] for f in functions.values() if f.defined and f.where}
    for path in sorted(files):
        found = sources.line_start(path + ":1:1")
        if found is None:
            continue
        for match in looked_up.finditer(found[0]):
            line = found[0].count("\n", 0, match.start()) + 1
            problems.append(f"{path}:{line}: {match.group(1)} is looked up by name: the check "
                            f"can't see what it starts; call it directly")
