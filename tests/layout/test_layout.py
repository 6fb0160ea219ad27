"""The tree's rooms go one way: the product under src/ includes neither the
simulator nor test support, the settings include no other module, and the
modules' includes form no cycle (the driver on top, the settings below all)."""

import os
import re

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SRC = os.path.join(SOURCE, "src")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def sources():
    for module in sorted(os.listdir(SRC)):
        folder = os.path.join(SRC, module)
        if os.path.isdir(folder):
            for name in sorted(os.listdir(folder)):
                if name.endswith((".cc", ".h")):
                    with open(os.path.join(folder, name)) as f:
                        yield module, name, INCLUDE.findall(f.read())


def module_graph():
    modules = {module for module, _, _ in sources()}
    graph = {module: set() for module in modules}
    for module, _, roots in sources():
        graph[module] |= {root for root in roots if root in modules and root != module}
    return graph


def test_only_unit_tests_reach_outside_the_product():
    found = [f"src/{module}/{name} includes {root}/" for module, name, roots in sources()
             for root in roots if root in ("sim", "tests") and not name.endswith("_test.cc")]
    assert found == []


def test_settings_include_no_other_module():
    assert module_graph()["settings"] == set()


def test_module_includes_form_no_cycle():
    graph = module_graph()
    done, path = set(), []

    def visit(module):
        if module in path:
            pytest.fail("modules include each other: " + " -> ".join(path[path.index(module):] + [module]))
        if module in done:
            return
        path.append(module)
        for used in sorted(graph[module]):
            visit(used)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)
