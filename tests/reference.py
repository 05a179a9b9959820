"""Slow, plain-Python model of the whole tolva pipeline.

It is written for readability, not speed, and serves as the oracle of the
differential tests: graph construction (from a matrix or from .flag text),
directed flag complex, simplex numbering and both q-near algorithms, with the
same pair order, the same report line and the same failure messages as the
native module.  A failure is raised as ``ReferencePanic(message)``; ``compute``
turns it into ``("panic", message)``.
"""

from itertools import combinations

U64_MAX = 2**64 - 1

OLD_REPORT = "[src/tolva/original/single_thread:148] q_near_graph.edges().len() = {}\n"
NEW_REPORT = "[src/tolva/new/single_thread:21] q_graph.edges().len() = {}\n"


class ReferencePanic(Exception):
    """A failure of the modelled computation; ``args[0]`` is the exact message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


# ---------------------------------------------------------------- the graph


class Graph:
    """Directed graph on 0..n-1 without self-loops, filled with add_edge."""

    def __init__(self, n):
        words_per_row = (n + 63) >> 6
        if n * words_per_row > U64_MAX:
            raise ReferencePanic("size of adjacency matrix overflows")
        self.n = n
        self.edges = {}  # insertion-ordered set of (from, to)
        self.reciprocal_pairs = {}  # insertion-ordered set of (larger, smaller)
        self._out = set()

    def has_edge(self, src, dst):
        if src >= self.n:
            raise ReferencePanic(f"from out of bounds: {src} >= {self.n}")
        if dst >= self.n:
            raise ReferencePanic(f"to out of bounds: {dst} >= {self.n}")
        return (src, dst) in self._out

    def add_edge(self, src, dst):
        if src == dst:
            return
        self.edges.setdefault((src, dst), None)
        # The reverse test is what catches an endpoint outside 0..n-1, so the
        # roles in its message are those of the reversed pair.
        if self.has_edge(dst, src):
            self.reciprocal_pairs.setdefault((max(src, dst), min(src, dst)), None)
        self._out.add((src, dst))

    def edge_list(self):
        return list(self.edges)


def graph_from_matrix(a):
    """Row-by-row scan of a 2-D matrix: returns (n, edges in insertion order)."""
    rows, cols = a.shape
    if rows != cols:
        raise ReferencePanic(
            f"assertion failed: `(left == right)`\n  left: `{rows}`,\n right: `{cols}`"
        )
    g = Graph(rows)
    for r in range(rows):
        for c in range(cols):
            if int(a[r, c]) == 1:
                if r == c:
                    raise ReferencePanic(
                        f"assertion failed: `(left != right)`\n  left: `{r}`,\n right: `{r}`"
                    )
                g.add_edge(r, c)
    return g.n, g.edge_list()


# ------------------------------------------------------------ .flag reading


def parse_u64(token):
    """Unsigned decimal with an optional leading '+'; the first error wins."""
    digits = token[1:] if token.startswith("+") else token
    if digits == "":
        raise ReferencePanic("File Parsing failed: ParseIntError { kind: InvalidDigit }")
    value = 0
    for ch in digits:
        if ch not in "0123456789":
            raise ReferencePanic("File Parsing failed: ParseIntError { kind: InvalidDigit }")
        value = value * 10 + (ord(ch) - ord("0"))
        if value > U64_MAX:
            raise ReferencePanic("File Parsing failed: ParseIntError { kind: PosOverflow }")
    return value


def split_lines(text):
    """Lines cut at '\\n'; a final '\\n' opens no extra line; one '\\r' is trimmed."""
    if text == "":
        return []
    pieces = text.split("\n")
    if text.endswith("\n"):
        pieces.pop()
    return [p[:-1] if p.endswith("\r") else p for p in pieces]


def tokens(line):
    return [t for t in line.split(" ") if t != ""]


def graph_from_flag_text(text):
    """Parse the contents of a .flag file: returns (n, edges in insertion order)."""
    if isinstance(text, (bytes, bytearray)):
        try:
            text = bytes(text).decode("utf-8")
        except UnicodeDecodeError:
            raise ReferencePanic(
                'File Parsing failed: Error { kind: InvalidData, '
                'message: "stream did not contain valid UTF-8" }'
            ) from None
    lines = split_lines(text)
    if len(lines) < 2:
        raise ReferencePanic("File Parsing failed")
    g = Graph(len(tokens(lines[1])))
    for line in lines[3:]:
        toks = tokens(line)
        if len(toks) < 2:
            continue
        src = parse_u64(toks[0])
        dst = parse_u64(toks[1])
        g.add_edge(src, dst)
    return g.n, g.edge_list()


# ---------------------------------------------------- directed flag complex


def directed_flag_complex(n, edges, q, max_dimension):
    """Lists of simplices (tuples) of dimension q, q+1, ... up to max_dimension.

    Within a list the simplices are in lexicographic order.  The length limit
    max_dimension + 1 wraps around modulo 2**64 like the native arithmetic, so
    max_dimension = 2**64 - 1 sets no bound.
    """
    edge_set = set(edges)
    stop_len = (max_dimension + 1) % 2**64
    lists = []

    def extend(simplex, candidates):
        if len(simplex) > q:
            k = len(simplex) - 1 - q
            if len(lists) > k:
                lists[k].append(tuple(simplex))
            else:
                lists.append([tuple(simplex)])
        if len(simplex) == stop_len or not candidates:
            return
        for c in candidates:
            new_candidates = [x for x in candidates if (c, x) in edge_set]
            simplex.append(c)
            extend(simplex, new_candidates)
            simplex.pop()

    # The out-neighbours of each root in ascending order, as testing (v, x) for every x would
    # give them; collected from the edges so that large sparse graphs stay quick to model.
    out_neighbours = {}
    for src, dst in edge_set:
        out_neighbours.setdefault(src, []).append(dst)
    for v in range(n):
        extend([v], sorted(out_neighbours.get(v, [])))
    return lists


def simplex_index(complex_):
    """Map every simplex to its position when the lists are read one after another."""
    index = {}
    position = 0
    for simplices in complex_:
        for s in simplices:
            index[s] = position
            position += 1
    return index


def remove_at(simplex, position):
    if position >= len(simplex):
        raise ReferencePanic(
            f"removal index (is {position}) should be < len (is {len(simplex)})"
        )
    return simplex[:position] + simplex[position + 1:]


def face_walk(q, complex_, index, on_face):
    """Walk the lists from the highest down to list 1 and return the face pairs.

    For each simplex, its faces of q+1 .. |s|-1 vertices are visited by size,
    then in lexicographic order of the kept positions; ``on_face(face, p_face,
    p_simplex)`` is called for each before the pair is recorded.
    """
    face_pairs = []
    for simplices in reversed(complex_[1:]):
        for s in simplices:
            p_s = index[s]
            for size in range(q + 1, len(s)):
                for kept in combinations(range(len(s)), size):
                    face = tuple(s[k] for k in kept)
                    p_face = index[face]
                    on_face(face, p_face, p_s)
                    face_pairs.append((p_face, p_s))
    return face_pairs


class OrderedPairSet:
    def __init__(self):
        self._pairs = {}

    def insert(self, pair):
        self._pairs.setdefault(pair, None)

    def edges(self):
        return [list(p) for p in self._pairs]


# ------------------------------------------------------- q-near algorithms


def q_near_graph_old(q, i, j, complex_, index):
    """Old algorithm: returns the ordered list of [s, t] pairs.

    A complex without lists gives the empty graph.  The filing step visits the
    simplices in ascending position order.
    """
    if not complex_:
        return []
    n0 = len(complex_[0])
    by_position = sorted(index.items(), key=lambda item: item[1])
    by_i_face = [[] for _ in by_position]
    by_j_face = [[] for _ in by_position]
    for s, p in by_position:
        if len(s) <= q + 1:
            continue
        face_a = remove_at(s, i)
        face_b = remove_at(s, j)
        by_i_face[index[face_a]].append(p)
        by_j_face[index[face_b]].append(p)

    cofaces = [[t] for t in range(n0)]

    def note_coface(face, p_face, p_s):
        if len(face) == q + 1:
            cofaces[p_face].append(p_s)

    face_pairs = face_walk(q, complex_, index, note_coface)

    graph = OrderedPairSet()
    for t in range(n0):
        for a in cofaces[t]:
            for b in cofaces[t]:
                if not by_i_face[a] or not by_j_face[b]:
                    continue
                for x in by_i_face[a]:
                    for y in by_j_face[b]:
                        if x != y:
                            graph.insert((x, y))
    for pair in face_pairs:
        graph.insert(pair)
    return graph.edges()


def q_near_graph_new(q, i, j, complex_, index):
    """New algorithm: returns the ordered list of [s, t] pairs.

    A complex of fewer than two lists gives the empty graph, without looking
    at i and j.
    """
    if len(complex_) < 2:
        return []
    n0 = len(complex_[0])
    cofaces = [[n0 + k] for k in range(len(complex_[1]))]

    def note_coface(face, p_face, p_s):
        if len(face) == q + 2:
            cofaces[p_face - n0].append(p_s)

    face_pairs = face_walk(q, complex_, index, note_coface)

    by_i_face = [[] for _ in range(n0)]
    by_j_face = [[] for _ in range(n0)]
    for alpha in complex_[1]:
        face_a = remove_at(alpha, i)
        face_b = remove_at(alpha, j)
        p_alpha = index[alpha]
        by_i_face[index[face_a]].append(p_alpha)
        by_j_face[index[face_b]].append(p_alpha)

    graph = OrderedPairSet()
    for w in range(n0):
        if not by_i_face[w] or not by_j_face[w]:
            continue
        for a in by_i_face[w]:
            for b in by_j_face[w]:
                graph.insert((a, b))
                for s in cofaces[a - n0]:
                    for t in cofaces[b - n0]:
                        if s != t:
                            graph.insert((s, t))
    for pair in face_pairs:
        graph.insert(pair)
    return graph.edges()


# ------------------------------------------------------------- whole calls

ALGORITHMS = {
    "old": (q_near_graph_old, OLD_REPORT),
    "new": (q_near_graph_new, NEW_REPORT),
}


def compute(kind, n, edges, q, i, j, max_dimension):
    """Run one algorithm on a built graph.

    Returns ("ok", pairs, report_line) -- report_line includes its line feed --
    or ("panic", message).
    """
    algorithm, report = ALGORITHMS[kind]
    try:
        complex_ = directed_flag_complex(n, edges, q, max_dimension)
        pairs = algorithm(q, i, j, complex_, simplex_index(complex_))
    except ReferencePanic as e:
        return ("panic", e.message)
    return ("ok", pairs, report.format(len(pairs)))


def compute_from_matrix(kind, a, q, i, j, max_dimension):
    """Like compute_q_near_graph_old/new on the matrix ``a``."""
    try:
        n, edges = graph_from_matrix(a)
    except ReferencePanic as e:
        return ("panic", e.message)
    return compute(kind, n, edges, q, i, j, max_dimension)


def compute_from_flag_text(kind, text, q, i, j, max_dimension):
    """Like compute_q_near_graph_old/new_from_file on a file holding ``text``."""
    try:
        n, edges = graph_from_flag_text(text)
    except ReferencePanic as e:
        return ("panic", e.message)
    return compute(kind, n, edges, q, i, j, max_dimension)


# ----------------------------------------------------- helpers for the tests


def adjacency_matrix(n, edges):
    """uint64 n x n matrix with a 1 at (from, to) for every edge."""
    import numpy as np

    a = np.zeros((n, n), dtype=np.uint64)
    for src, dst in edges:
        a[src, dst] = 1
    return a


def flag_text(n, edges):
    """Contents of a .flag file describing the graph (one token per vertex)."""
    lines = ["dim 0", " ".join("0" for _ in range(n)), "dim 1"]
    lines += [f"{src} {dst}" for src, dst in edges]
    return "\n".join(lines) + "\n"


def run_native(function, *args):
    """Call a tolva function: ("ok", result) or ("panic", message).

    Only the module's PanicException is turned into a value; every other
    exception propagates, since the tests pass valid arguments.
    """
    try:
        return ("ok", function(*args))
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return ("panic", str(e))
