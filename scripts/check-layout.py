#!/usr/bin/env python3
"""Checks the source tree's layout rules and prints what breaks them:

- no source file under src/ is longer than 800 lines;
- no two source files include each other, directly or through others (a file and its header
  count as one unit);
- no two libraries (folders under src/) include each other, directly or through others, so every
  arrow between libraries points down.

Usage: check-layout.py [source root]   (default: the folder above this script)
Exits 1 when a rule is broken.
"""
import os
import re
import sys

MAX_LINES = 800
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def cycles(graph):
    """Strongly connected components of more than one node (iterative Tarjan)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in graph:
        if start in index:
            continue
        work = [(start, iter(graph.get(start, ())))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, edges = work[-1]
            advanced = False
            for nxt in edges:
                if nxt not in index:
                    index[nxt] = low[nxt] = counter
                    counter += 1
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(graph.get(nxt, ()))))
                    advanced = True
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    src = os.path.join(root, 'src')
    problems = []
    units, libraries = {}, {}
    for folder, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith(('.cpp', '.h')):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, src)
            with open(path, encoding='utf-8', errors='replace') as f:
                text = f.read()
            lines = text.count('\n')
            if lines > MAX_LINES:
                problems.append(f'src/{rel}: {lines} lines (at most {MAX_LINES})')
            unit = rel.rsplit('.', 1)[0]
            library = rel.split('/', 1)[0]
            for target in INCLUDE.findall(text):
                if not os.path.exists(os.path.join(src, target)):
                    continue  # generated files and headers outside src/
                other = target.rsplit('.', 1)[0]
                if other != unit:
                    units.setdefault(unit, set()).add(other)
                other_library = target.split('/', 1)[0]
                if other_library != library:
                    libraries.setdefault(library, set()).add(other_library)
    for component in cycles(units):
        problems.append('files that include each other: ' + ', '.join(component))
    for component in cycles(libraries):
        problems.append('libraries that include each other: ' + ', '.join(component))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
