#!/usr/bin/env python3
"""Checks, at build time, that every thread the launcher makes fits its stack.

GCC's -fcallgraph-info=su writes, beside each object, a .ci file (VCG format) with every function
the object defines, its frame size and the calls it makes. From those files this check builds the
launcher's whole call graph and finds, for each thread of the table (tools/thread_stacks.txt), the
deepest chain of frames that can be on that thread's stack at once. That must fit the thread's
budget: its reservation less a margin for the system's own frames, which no .ci file shows
(window-procedure callbacks, the loader, a message box, the shell's file operation).

Nothing passes unseen:
- a call through a pointer must be named in the table with the functions it can reach (or
  "system" for the system's own functions);
- recursion fails the check, unless the table bounds it (a function calling itself at most N
  deep); so does a frame of unbounded dynamic size, or a function the table names but the
  objects don't define;
- every call that makes a thread (CreateThread and its kin, a fiber, a wait or pool callback, a
  console control handler) must come from a function that the table names as that thread's
  maker, and pass it, by name, a function that the row names as an entry (read from the call's
  source text); every row's entry must be passed so by one of its makers;
- likewise for exception handlers, which run on the stack of the thread that faults: each is
  registered by the function its row names, and counted on top of the deepest path of every
  thread it may run on;
- a thread maker looked up by name (GetProcAddress) can't be followed, and fails;
- a call into C++ code that none of the objects defines (a library whose graph was not
  recorded) fails; calls into C functions count as the system's.

Usage: stack_check.py SOURCE_DIR TABLE OBJECT_LIST
  SOURCE_DIR   the project's sources, which the table's FILE:CONSTANT sizes name
  TABLE        the thread table
  OBJECT_LIST  a file naming the objects to check, one a line; each object's .ci file is the
               object's path with its last extension replaced by .ci
Exit code 0 when every thread fits, 1 when one doesn't or something can't be judged, 2 on bad
input.
"""
import os
import re
import sys

from stack_check_entries import Sources, check_code_passed, check_names_looked_up

# C++ functions that are not the launcher's (the standard library's, operators new and delete):
# any other mangled name that no object defines is launcher code whose graph is missing.
FOREIGN_MANGLED = ("_ZSt", "_ZNSt", "_ZNKSt", "_Znw", "_Zna", "_Zdl", "_Zda")

NODE = re.compile(r'^node: \{ title: "([^"]*)" label: "([^"]*)"( shape : ellipse)? \}$')
EDGE = re.compile(
    r'^edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"(?: label: "([^"]*)")? \}$')
FRAME = re.compile(r"^(\d+) bytes \(([a-z,]+)\)$")
CLONE = re.compile(r"\.(part|constprop|isra|cold|lto_priv)(\.\d+)?")


class Failure(Exception):
    pass


def mangled_short_name(symbol):
    """The innermost name of an Itanium-mangled symbol (_Z...), or None when it is not one of
    the plain forms (_Z<length><name>..., _ZN<qualifiers><length><name>...E...)."""
    if not symbol.startswith("_Z"):
        return None
    position = 2
    nested = symbol.startswith("N", position)
    if nested:
        position += 1
        while position < len(symbol) and symbol[position] in "rVKRO":
            position += 1
    name = None
    while position < len(symbol) and symbol[position].isdigit():
        digits = re.match(r"\d+", symbol[position:]).group(0)
        position += len(digits)
        name = symbol[position:position + int(digits)]
        position += int(digits)
        if not nested:
            break
    return name


def short_name(title, label_head):
    """The bare function name: no return type, scope, parameters or clone suffix."""
    symbol = CLONE.sub("", title.rsplit(":", 1)[-1])
    from_symbol = mangled_short_name(symbol)
    if from_symbol:
        return from_symbol
    if not symbol.startswith("_Z"):
        return symbol
    text = re.sub(r" \[clone [^\]]*\]$", "", label_head)
    if text.endswith(")"):
        depth = 0
        for position in range(len(text) - 1, -1, -1):
            if text[position] == ")":
                depth += 1
            elif text[position] == "(":
                depth -= 1
                if depth == 0:
                    text = text[:position]
                    break
    text = text.split(" ")[-1].lstrip("*&")
    text = text.split("::")[-1]
    return CLONE.sub("", text)


class Function:
    def __init__(self, title, label, defined):
        lines = label.split("\\n")
        self.title = title
        self.name = short_name(title, lines[0])
        # GCC labels a part split off a C++ function badly ("0(ULONGLONG)"): its name then.
        self.signature = lines[0] if not lines[0][:1].isdigit() else f"{self.name} (a part of it)"
        self.where = lines[1] if len(lines) > 1 else ""
        self.file = os.path.basename(self.where.rsplit(":", 2)[0]) if self.where else ""
        self.frame = None
        self.defined = defined
        if defined:
            match = FRAME.match(lines[-1]) if len(lines) > 2 else None
            if match is None:
                raise Failure(f"no frame size for {self.signature} ({self.where})")
            self.frame = int(match.group(1))
            self.kind = match.group(2)
        self.calls = []  # (target title, call site)


def read_graph(ci_paths):
    functions = {}  # title -> Function (defined ones win over external declarations)
    edges = []
    for path in ci_paths:
        with open(path, encoding="utf-8", errors="replace") as ci:
            for line in ci:
                line = line.rstrip("\n")
                node = NODE.match(line)
                if node:
                    title, label, external = node.groups()
                    function = Function(title, label, external is None)
                    known = functions.get(title)
                    # The same inline function may be emitted by several objects: the largest.
                    if known is None or (function.defined and
                                         (not known.defined or function.frame > known.frame)):
                        functions[title] = function
                    continue
                edge = EDGE.match(line)
                if edge:
                    edges.append(edge.groups())
                elif line.startswith(("node:", "edge:")):
                    raise Failure(f"{path}: can't read: {line}")
    for source, target, site in edges:
        functions[source].calls.append((target, site))
    return functions


def parse_size(text, root):
    """A size: a number (decimal or 0x), K or M suffixed, or FILE:CONSTANT read from a source
    that defines it as `CONSTANT = <number> [* <number>...];`."""
    match = re.fullmatch(r"(0x[0-9a-fA-F]+|\d+)([KM]?)", text)
    if match:
        value = int(match.group(1), 0)
        return value * {"": 1, "K": 1024, "M": 1024 * 1024}[match.group(2)], text
    if ":" in text:
        source, constant = text.rsplit(":", 1)
        with open(os.path.join(root, source), encoding="utf-8") as code:
            found = re.search(r"\b" + re.escape(constant) + r"\s*=\s*([0-9x* ]+);", code.read())
        if not found:
            raise Failure(f"{source} defines no {constant} of the form `{constant} = N * M;`")
        value = 1
        for factor in found.group(1).split("*"):
            value *= int(factor.strip(), 0)
        return value, f"{constant} in {source}"
    raise Failure(f"not a size: {text}")


class Table:
    def __init__(self, path, root):
        self.threads = []  # dicts: name, entries, stack, stack_source, margin, makers
        self.handlers = []  # dicts: name, entries, threads, margin, makers
        self.indirect = {}  # caller name -> list of targets ("system" or function names)
        self.recursion = {}  # function name -> how often it may be on one path (calling itself)
        with open(path, encoding="utf-8") as table:
            for number, raw in enumerate(table, 1):
                line = raw.split("#", 1)[0].strip()
                if not line:
                    continue
                words = line.split()
                try:
                    if words[0] == "thread":
                        fields = dict(word.split("=", 1) for word in words[2:])
                        stack, source = parse_size(fields["stack"], root)
                        self.threads.append({
                            "name": words[1],
                            "entries": fields["entry"].split(","),
                            "stack": stack,
                            "stack_source": source,
                            "margin": parse_size(fields["margin"], root)[0],
                            "makers": fields.get("made-by", "").split(",") if fields.get(
                                "made-by", "-") != "-" else [],
                        })
                    elif words[0] == "handler":
                        fields = dict(word.split("=", 1) for word in words[2:])
                        self.handlers.append({
                            "name": words[1],
                            "entries": fields["entry"].split(","),
                            "threads": fields["on"].split(","),
                            "margin": parse_size(fields["margin"], root)[0],
                            "makers": fields["registered-by"].split(","),
                        })
                    elif words[0] == "recursion" and words[2].startswith("max="):
                        self.recursion[words[1]] = int(words[2][4:])
                    elif words[0] == "calls" and words[2] == "->":
                        self.indirect[words[1]] = " ".join(words[3:]).replace(",", " ").split()
                    else:
                        raise ValueError
                except (KeyError, ValueError, IndexError):
                    raise Failure(f"{path}:{number}: can't read: {line}")


def find_function(functions, name, problems, context):
    """The defined functions of that name (FILE:NAME picks one by its file)."""
    file = None
    if ":" in name:
        file, name = name.split(":", 1)
    found = [f for f in functions.values()
             if f.defined and f.name == name and (file is None or f.file == file)]
    if not found:
        problems.append(f"{context}: no function {name} among the objects")
    return found


def resolve(functions, title):
    """The function a call reaches: its definition when one of the objects has it."""
    function = functions.get(title)
    if function is not None and function.defined:
        return function
    return None


def check(table, functions, root="."):
    problems = []
    report = []
    # Calls through pointers, per caller: the functions they reach.
    indirect_targets = {}
    for caller, targets in table.indirect.items():
        for function in find_function(functions, caller, problems, f"calls {caller}"):
            reached = []
            for target in targets:
                if target == "system":
                    continue
                reached += find_function(functions, target, problems, f"calls {caller}")
            indirect_targets[function.title] = reached

    sources = Sources(root)
    for function in functions.values():
        if not function.defined:
            continue
        for target, site in function.calls:
            callee = functions.get(target)
            if target.startswith("_Z") and not target.startswith(FOREIGN_MANGLED) and \
                    resolve(functions, target) is None:
                shown = callee.signature if callee else target
                problems.append(f"{function.signature} ({site}) calls {shown}, which none of the "
                                f"objects defines: record its call graph too")
    check_code_passed(table, functions, sources, problems)
    check_names_looked_up(functions, sources, problems)

    def deepest_of(entries, context):
        """The deepest path from any of the entries: (bytes, chain of functions)."""
        memo = {}
        on_path = []
        unseen_indirect = set()

        def deepest(function):
            """Deepest stack use from function down: (bytes, chain of functions)."""
            if function.title in memo:
                return memo[function.title]
            if function in on_path:
                cycle = on_path[on_path.index(function):] + [function]
                raise Failure("recursion: " + " -> ".join(f.signature for f in cycle))
            if "dynamic" in function.kind and "bounded" not in function.kind:
                raise Failure(f"{function.signature} ({function.where}) has a frame of "
                              f"unbounded size (alloca or a variable-length array)")
            on_path.append(function)
            best = (0, [])
            repeats = table.recursion.get(function.name, 1)
            for target, site in function.calls:
                if target == function.title and repeats > 1:
                    continue  # counted below: the function's frame, as often as it may recur
                callees = []
                if target == "__indirect_call":
                    if function.title not in indirect_targets:
                        unseen_indirect.add(f"{function.signature} at {site}")
                        continue
                    callees = indirect_targets[function.title]
                else:
                    callee = resolve(functions, target)
                    if callee is not None:
                        callees = [callee]
                for callee in callees:
                    depth = deepest(callee)
                    if depth[0] > best[0]:
                        best = depth
            on_path.pop()
            result = (function.frame * repeats + best[0], [function] * repeats + best[1])
            memo[function.title] = result
            return result

        worst = (0, [])
        for entry in entries:
            for function in find_function(functions, entry, problems, context):
                try:
                    depth = deepest(function)
                except Failure as failure:
                    problems.append(f"{context}: {failure}")
                    continue
                if depth[0] > worst[0]:
                    worst = depth
        for call in sorted(unseen_indirect):
            problems.append(f"{context}: a call through a pointer in {call} is not "
                            f"in the table (`calls CALLER -> TARGETS` or `-> system`)")
        return worst

    # A handler runs on top of whatever the faulting thread was doing, and its dispatch (the
    # handler's margin) between the two.
    thread_names = {thread["name"] for thread in table.threads}
    handler_depths = {}
    for handler in table.handlers:
        depth = deepest_of(handler["entries"], f"handler {handler['name']}")
        for name in handler["threads"]:
            if name not in thread_names:
                problems.append(f"handler {handler['name']}: no thread {name} in the table")
            known = handler_depths.get(name)
            if known is None or depth[0] + handler["margin"] > known[1][0] + known[0]["margin"]:
                handler_depths[name] = (handler, depth)

    for thread in table.threads:
        worst = deepest_of(thread["entries"], f"thread {thread['name']}")
        need = worst[0]
        handler, handler_depth = handler_depths.get(thread["name"], (None, (0, [])))
        if handler is not None:
            need += handler["margin"] + handler_depth[0]
        budget = thread["stack"] - thread["margin"]
        fits = need <= budget
        chain = worst[1] + handler_depth[1]
        biggest = max(chain, key=lambda f: f.frame) if chain else None
        on_top = "" if handler is None else (
            f", and {handler_depth[0]} bytes of handler {handler['name']} on top of it (with "
            f"{handler['margin']} for its dispatch)")
        report.append(
            f"{thread['name']}: deepest path {worst[0]} bytes{on_top}, budget {budget} bytes "
            f"(reservation {thread['stack']} from {thread['stack_source']}, less "
            f"{thread['margin']} for the system's frames){'' if fits else '  -- TOO DEEP'}")
        if biggest is not None:
            report.append(f"    largest frame on it: {biggest.frame} bytes, {biggest.signature}")
        for function in worst[1]:
            report.append(f"    {function.frame:7d}  {function.signature}  ({function.where})")
        if handler is not None:
            report.append(f"    handler {handler['name']}, at any point of that path:")
            for function in handler_depth[1]:
                report.append(f"    {function.frame:7d}  {function.signature}  ({function.where})")
        if not fits:
            problems.append(f"thread {thread['name']} needs {need} bytes of stack, more than "
                            f"its budget of {budget}: make its reservation larger or move the "
                            f"large buffers on that path off the stack")
    return report, problems


def main(arguments):
    if len(arguments) != 4:
        print("usage: " + __doc__.split("Usage: ")[1].split("Exit code")[0].strip(),
              file=sys.stderr)
        return 2
    root, table_path, object_list = arguments[1:]
    try:
        with open(object_list, encoding="utf-8") as listing:
            objects = [line.strip() for line in listing if line.strip()]
    except OSError as error:
        print(f"stack check: {error}", file=sys.stderr)
        return 2
    ci_paths = []
    missing = []
    for obj in objects:
        ci = os.path.splitext(obj)[0] + ".ci"
        (ci_paths if os.path.exists(ci) else missing).append(ci)
    try:
        if missing:
            raise Failure("no call graph for these objects (were they compiled with "
                          "-fcallgraph-info=su, and not restored from a compiler cache?): " +
                          ", ".join(missing))
        table = Table(table_path, root)
        functions = read_graph(ci_paths)
        report, problems = check(table, functions, root)
    except (Failure, OSError) as failure:
        print(f"stack check: {failure}", file=sys.stderr)
        return 1
    print("\n".join(report))
    for problem in problems:
        print(f"stack check: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
