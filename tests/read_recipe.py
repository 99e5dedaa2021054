#!/usr/bin/env python3
"""Prints variables of a BitBake recipe as BitBake would expand them, so that
the CI leg builds with the recipe's own settings rather than a copy of them.

    read_recipe.py RECIPE [--set NAME=VALUE]... NAME...

Each NAME (itself expanded, as in FILES:${PN}) is printed on a line of its
own. --set gives what the configuration sets before the recipe is read
(WORKDIR, DISTRO_FEATURES, MACTOSN_SERIAL_LIST, ...). PN and PV come from the
file name, and PACKAGECONFIG_CONFARGS is derived as base.bbclass does.

Only the constructs BitBake recipes commonly use are understood: =, ?=, ??=,
:=, += and .= assignments, [flag] assignments, inherit, shell or Python
task functions (skipped, not run), Python `def` functions (which ${@...}
may call), ${VAR} and ${@...} with d.getVar, d.expand, bb.utils.contains
and bb.utils.filter. Anything else stops it, so that a
recipe change this emulation does not follow fails the leg instead of being
read wrong.
"""

import os
import re
import sys

ASSIGNMENT = re.compile(r'^([A-Za-z0-9_\-${}:/.+]+)(?:\[([A-Za-z0-9_\-]+)\])?\s*(\?\?=|\?=|:=|\+=|\.=|=)\s*"(.*)"$',
                        re.S)
FUNCTION = re.compile(r'^(python\s*(\w+\s*)?\(\)\s*\{|(fakeroot\s+)?[\w:\-${}]+\s*\(\)\s*\{)$')


class Recipe:
    def __init__(self, preset):
        self.values = dict(preset)
        self.flags = {}
        self.weak = {}
        # What ${@...} sees: the recipe's def functions among the modules BitBake gives.
        self.functions = {'bb': BB, 'os': os}

    def getVar(self, name, expand=True):
        value = self.values.get(name, self.weak.get(name))
        if value is None or not expand:
            return value
        return self.expand(value)

    def expand(self, text, depth=0):
        if depth > 50:
            raise SystemExit("read_recipe: expansion too deep in: " + text)
        out, i = [], 0
        while i < len(text):
            if text.startswith('${', i):
                end, nesting = i + 2, 1
                while end < len(text) and nesting:
                    nesting += {'{': 1, '}': -1}.get(text[end], 0)
                    end += 1
                if nesting:
                    raise SystemExit("read_recipe: unclosed ${ in: " + text)
                inner = text[i + 2:end - 1]
                if inner.startswith('@'):
                    value = eval(inner[1:], self.functions, {'d': self})
                    out.append('' if value is None else str(value))
                elif inner in self.values or inner in self.weak:
                    out.append(self.expand(self.getVar(inner, expand=False), depth + 1))
                else:
                    out.append(text[i:end])  # BitBake leaves an unknown reference as it is.
                i = end
            else:
                out.append(text[i])
                i += 1
        result = ''.join(out)
        return self.expand(result, depth + 1) if '${' in result and result != text else result

    def assign(self, name, flag, op, value):
        name = self.expand(name)
        if re.search(r':(append|prepend|remove)\b', name):
            raise SystemExit("read_recipe: override operators are not followed: " + name)
        if flag is not None:
            flags = self.flags.setdefault(name, {})
            if op == '=':
                flags[flag] = value
            elif op == '+=':
                flags[flag] = (flags[flag] + ' ' if flags.get(flag) else '') + value
            else:
                raise SystemExit("read_recipe: unsupported %s on %s[%s]" % (op, name, flag))
        elif op == '=':
            self.values[name] = value
        elif op == '?=':
            self.values.setdefault(name, value)
        elif op == '??=':
            self.weak[name] = value
        elif op == ':=':
            self.values[name] = self.expand(value)
        elif op in ('+=', '.='):
            old = self.values.get(name, self.weak.get(name, ''))
            self.values[name] = old + (' ' if op == '+=' and old else '') + value


class Utils:
    @staticmethod
    def contains(variable, checkvalues, truevalue, falsevalue, d):
        have = set((d.getVar(variable) or '').split())
        return truevalue if set(checkvalues.split()) <= have else falsevalue

    @staticmethod
    def filter(variable, checkvalues, d):
        have = set((d.getVar(variable) or '').split())
        return ' '.join(sorted(set(checkvalues.split()) & have))


class BB:
    utils = Utils


def logical_lines(path):
    with open(path, encoding='utf-8') as f:
        pending = ''
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not pending and (not line.strip() or line.lstrip().startswith('#')):
                continue
            if line.endswith('\\'):
                pending += line[:-1]
                continue
            yield number, pending + line
            pending = ''


def read(path, preset):
    name, _ = os.path.splitext(os.path.basename(path))
    pn, _, pv = name.partition('_')
    recipe = Recipe({'PN': pn, 'PV': pv or '1.0', 'BPN': pn, **preset})
    recipe.values.setdefault('BP', '${BPN}-${PV}')
    in_function = False
    python = []
    for number, line in logical_lines(path):
        if python and line[:1].isspace():
            python.append(line)
            continue
        if python:
            exec('\n'.join(python), recipe.functions)
            python = []
        stripped = line.strip()
        if stripped.startswith('def '):
            python = [line]
            continue
        if in_function:
            in_function = stripped != '}'
            continue
        if FUNCTION.match(stripped):
            in_function = True
            continue
        if stripped.startswith('inherit '):
            continue
        match = ASSIGNMENT.match(stripped)
        if not match:
            raise SystemExit("%s:%d: read_recipe does not understand: %s" % (path, number, stripped))
        recipe.assign(*match.groups())
    if python:
        exec('\n'.join(python), recipe.functions)
    for key, value in recipe.weak.items():
        recipe.values.setdefault(key, value)
    recipe.weak = {}
    # What base.bbclass makes of PACKAGECONFIG: each named option's enable
    # argument, every other option's disable argument.
    chosen = (recipe.getVar('PACKAGECONFIG') or '').split()
    options = recipe.flags.get('PACKAGECONFIG', {})
    unknown = [item for item in chosen if item not in options]
    if unknown:
        raise SystemExit("%s: PACKAGECONFIG names options the recipe lacks: %s" % (path, ' '.join(unknown)))
    confargs = []
    for option, value in options.items():
        parts = (recipe.expand(value).split(',') + ['', ''])[:2]
        confargs.append(parts[0] if option in chosen else parts[1])
    recipe.values['PACKAGECONFIG_CONFARGS'] = ' '.join(a for a in confargs if a)
    return recipe


def main(argv):
    args, preset, names = argv[1:], {}, []
    if not args:
        raise SystemExit(__doc__)
    path = args.pop(0)
    while args:
        arg = args.pop(0)
        if arg == '--set':
            key, _, value = args.pop(0).partition('=')
            preset[key] = value
        else:
            names.append(arg)
    recipe = read(path, preset)
    for name in names:
        value = recipe.getVar(recipe.expand(name))
        if value is None:
            raise SystemExit("%s: the recipe sets no %s" % (path, name))
        print(' '.join(value.split()))


if __name__ == '__main__':
    main(sys.argv)
