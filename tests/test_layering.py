"""Includes point down the layers only: each folder of src/ may include its own headers and
those of the layers its CMake library links, and nothing above it. The two Python modules
(src/lib and src/arrays) sit on top; the array module shares only the interpreter helpers of
lib/python.hpp with the other, and neither includes the other otherwise."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
# Folder of src/ -> CMake layer library (without the tolva_ prefix).
LAYER_OF_FOLDER = {"base": "base", "parallel": "parallel", "graph": "graph", "graph_io": "graph_io",
                   "complex": "complex", "tolva": "algorithms"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/', re.MULTILINE)
HEADER = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
MODULES = ("lib", "arrays")


def declared_layers():
    """Layer -> the layers it links, as written in CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text()
    layers = {}
    for name, body in re.findall(r"^tolva_layer\((\w+)(.*?)\)", text, re.MULTILINE | re.DOTALL):
        uses = re.search(r"USES(.*?)SOURCES", body, re.DOTALL)
        words = uses.group(1).split() if uses else []
        layers[name] = {w[len("tolva_"):] for w in words if w.startswith("tolva_")}
    return layers


def reachable(layers, start):
    seen, todo = set(), list(layers[start])
    while todo:
        layer = todo.pop()
        if layer not in seen:
            seen.add(layer)
            todo.extend(layers[layer])
    return seen


def includes_by_folder():
    found = {}
    for path in SRC.rglob("*"):
        if path.suffix in (".cpp", ".hpp"):
            folder = path.relative_to(SRC).parts[0]
            found.setdefault(folder, set()).update((path, target) for target in INCLUDE.findall(path.read_text()))
    return found


def test_every_folder_is_a_layer_and_the_layers_form_no_cycle():
    layers = declared_layers()
    assert set(LAYER_OF_FOLDER.values()) == set(layers)
    assert layers["base"] == set()
    for layer in layers:
        assert layer not in reachable(layers, layer), f"{layer} depends on itself"


def test_includes_point_only_to_linked_layers():
    layers = declared_layers()
    upward = []
    for folder, includes in includes_by_folder().items():
        if folder in MODULES:
            continue  # the Python modules sit on top of everything
        allowed = {folder} | {f for f, layer in LAYER_OF_FOLDER.items()
                              if layer in reachable(layers, LAYER_OF_FOLDER[folder])}
        upward += [f"{path.relative_to(ROOT)} includes {target}/" for path, target in includes if target not in allowed]
    assert upward == []


def test_nothing_below_the_module_includes_it_or_the_interpreter():
    offending = [str(path.relative_to(ROOT)) for folder, includes in includes_by_folder().items()
                 if folder not in MODULES for path, target in includes if target in MODULES]
    offending += [str(path.relative_to(ROOT)) for path in SRC.rglob("*.[ch]pp")
                  if path.relative_to(SRC).parts[0] not in MODULES and "Python.h" in path.read_text()]
    assert offending == []


def test_the_two_modules_share_only_the_interpreter_helpers():
    crossing = []
    for module, other in (("lib", "arrays"), ("arrays", "lib")):
        for path in (SRC / module).rglob("*.[ch]pp"):
            crossing += [f"{path.relative_to(ROOT)} includes {header}" for header in HEADER.findall(path.read_text())
                         if header.startswith(other + "/") and (module, header) != ("arrays", "lib/python.hpp")]
    assert crossing == []
    assert any("lib/python.hpp" in HEADER.findall(path.read_text()) for path in (SRC / "arrays").rglob("*.hpp"))
