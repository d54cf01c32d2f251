#!/usr/bin/env python3
"""The thread stack check (tools/stack_check.py) on small call graphs written here, in the form
GCC's -fcallgraph-info=su writes them: what fits passes, and nothing it can't judge passes."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                     "stack_check.py")


def node(title, name, size=None, kind="static"):
    if size is None:
        return f'node: {{ title: "{title}" label: "{name}\\nsys.h:1:1" shape : ellipse }}'
    return f'node: {{ title: "{title}" label: "{name}\\na.cpp:1:1\\n{size} bytes ({kind})" }}'


def edge(source, target, site="a.cpp:2:3"):
    label = f' label: "{site}"' if site else ""
    return f'edge: {{ sourcename: "{source}" targetname: "{target}"{label} }}'


# A thread whose entry calls a walk with a large frame, the walk calls the system; a helper that
# starts the thread; the walk's frame is what the cases change.
def graph(walk_size=60000, walk_kind="static", extra=()):
    return [
        'graph: { title: "a.cpp"',
        node("a.cpp:_ZN12_GLOBAL__N_16workerEPv", "DWORD {anonymous}::worker(void*)", 200),
        node("_Z4walkv", "void walk()", walk_size, walk_kind),
        node("_Z5startv", "void start()", 64),
        node("CreateThread", "void* CreateThread(...)"),
        node("CreateFileW", "HANDLE CreateFileW(...)"),
        # An edge without a call site, as GCC writes for built-in calls, counts like the others.
        edge("a.cpp:_ZN12_GLOBAL__N_16workerEPv", "_Z4walkv", site=False),
        edge("_Z4walkv", "CreateFileW"),
        edge("_Z5startv", "CreateThread"),
        *extra,
        "}",
    ]


TABLE = "thread worker entry=worker stack=128K margin=64K made-by=start\n"

# The source that the call sites point into: start() makes the thread on line 2 (column 3).
SOURCE = "void start() {\n  CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);\n}\n"

# A vectored exception handler that start() registers, which runs on the worker's stack.
HANDLER = [node("_Z7handlerP19_EXCEPTION_POINTERS", "LONG handler(EXCEPTION_POINTERS*)", 5000),
           node("AddVectoredExceptionHandler", "void* AddVectoredExceptionHandler(...)"),
           edge("_Z5startv", "AddVectoredExceptionHandler", "a.cpp:3:3")]
HANDLER_SOURCE = SOURCE.replace("}", "  AddVectoredExceptionHandler(0, handler);\n}")
HANDLER_ROW = "handler fault entry=handler on=worker margin=1K registered-by=start\n"


class StackCheck(unittest.TestCase):
    def run_check(self, lines, table=TABLE, objects=("a",), source=SOURCE):
        """Runs the check in a directory of its own, which is also the source directory that the
        table's FILE:CONSTANT sizes and the call sites are read from; exit code and output."""
        with tempfile.TemporaryDirectory() as work:
            files = {"a.ci": "\n".join(lines) + "\n", "table.txt": table, "a.cpp": source,
                     "code.cpp": "constexpr SIZE_T worker_stack = 128 * 1024;\n",
                     "objects.txt": "".join(os.path.join(work, o + ".obj\n") for o in objects)}
            for name, text in files.items():
                with open(os.path.join(work, name), "w") as file:
                    file.write(text)
            result = subprocess.run(
                [sys.executable, CHECK, work, os.path.join(work, "table.txt"),
                 os.path.join(work, "objects.txt")], capture_output=True, text=True)
            return result.returncode, result.stdout + result.stderr

    def test_cases(self):
        indirect = [node("_Z6seemedv", "void seemed()", 1000),
                    edge("_Z4walkv", "__indirect_call")]
        recursive = [edge("_Z4walkv", "_Z4walkv")]
        cases = [
            # (what, graph, table, exit code, text that must show)
            ("fits", graph(), TABLE, 0, "deepest path 60200 bytes, budget 65536"),
            ("too deep", graph(walk_size=70000), TABLE, 1, "needs 70200 bytes"),
            ("unbounded alloca", graph(walk_kind="dynamic"), TABLE, 1, "unbounded size"),
            ("bounded alloca", graph(walk_kind="dynamic,bounded"), TABLE, 0, "60200"),
            ("a pointer call not in the table", graph(extra=indirect), TABLE, 1,
             "a call through a pointer in void walk()"),
            ("a pointer call and its target", graph(extra=indirect),
             TABLE + "calls walk -> seemed\n", 0, "deepest path 61200"),
            ("a thread made elsewhere", graph(), TABLE.replace("start", "-"), 1,
             "starts a thread through CreateThread"),
            ("recursion", graph(extra=recursive), TABLE, 1, "recursion"),
            ("recursion within its bound", graph(walk_size=1000, extra=recursive),
             TABLE + "recursion walk max=3\n", 0, "deepest path 3200"),
            ("a call into code whose graph is missing",
             graph(extra=[node("_Z6unseenv", "void unseen()"), edge("_Z4walkv", "_Z6unseenv")]),
             TABLE, 1, "none of the objects defines"),
            ("a reservation read from the code", graph(),
             TABLE.replace("stack=128K", "stack=code.cpp:worker_stack"), 0, "worker_stack"),
        ]
        for what, lines, table, code, text in cases:
            with self.subTest(what):
                returned, output = self.run_check(lines, table)
                self.assertEqual(returned, code, output)
                self.assertIn(text, output)

    def test_the_code_a_row_names_is_what_its_maker_passes(self):
        fiber = [node("CreateFiber", "void* CreateFiber(...)"), edge("_Z5startv", "CreateFiber", "a.cpp:3:3")]
        cases = [
            # (what, graph, table, source, exit code, text that must show)
            ("another function passed", graph(), TABLE, SOURCE.replace("worker", "walk"), 1,
             "passes walk to CreateThread, which no thread row made by start names"),
            ("through a cast and an address",
             graph(), TABLE, SOURCE.replace("worker", "reinterpret_cast<PTHREAD_START_ROUTINE>("
                                                      "&ns::worker)"), 0, "deepest path 60200"),
            ("a variable passed", graph(), TABLE, SOURCE.replace("worker", "routine"), 1,
             "which names no function of the objects"),
            ("a call the site does not show", graph(), TABLE, "\n\n", 1,
             "whose arguments can't be read"),
            ("a fiber whose entry is the row's", graph(extra=fiber), TABLE,
             SOURCE.replace("}", "  CreateFiber(0, worker, nullptr);\n}"), 0, "60200"),
            ("a fiber with another entry", graph(extra=fiber), TABLE,
             SOURCE.replace("}", "  CreateFiber(0, walk, nullptr);\n}"), 1,
             "passes walk to CreateFiber"),
            ("a thread maker looked up by name", graph(), TABLE,
             SOURCE + 'auto f = GetProcAddress(ntdll, "NtCreateThreadEx");\n', 1,
             "NtCreateThreadEx is looked up by name"),
            ("a handler counted on top of the thread", graph(walk_size=50000, extra=HANDLER),
             TABLE + HANDLER_ROW, HANDLER_SOURCE, 0,
             "5000 bytes of handler fault on top of it (with 1024 for its dispatch)"),
            ("a handler that makes the thread too deep", graph(extra=HANDLER),
             TABLE + HANDLER_ROW, HANDLER_SOURCE, 1, "needs 66224 bytes"),
            ("a handler without a row", graph(walk_size=50000, extra=HANDLER), TABLE,
             HANDLER_SOURCE, 1, "registers a handler through AddVectoredExceptionHandler"),
        ]
        for what, lines, table, source, code, text in cases:
            with self.subTest(what):
                returned, output = self.run_check(lines, table, source=source)
                self.assertEqual(returned, code, output)
                self.assertIn(text, output)

    def test_an_object_without_its_graph_fails(self):
        # As a compiler cache leaves it: the object restored, its graph not written.
        returned, output = self.run_check(graph(), objects=("a", "cached"))
        self.assertEqual(returned, 1, output)
        self.assertIn("no call graph", output)


if __name__ == "__main__":
    unittest.main()
