"""SPDX licence expressions as the bill of materials writes them: the
publisher's licences (LBW_SBOM_LICENSE, LBW_LOADER_LICENSE) are checked at
configure time with this module's command,
    python3 -m release.sbom.spdx_expression EXPRESSION
which prints why an expression is malformed and exits 1. The grammar is that
of the SPDX specification 2.3, annex D: identifiers (an SPDX licence id, with
"+" for "or later", or a LicenseRef-), "WITH" an exception id, "AND", "OR"
and parentheses; the operators in capitals. Whether an id is on the SPDX list
is not checked here: a licence of the publisher's own is a LicenseRef-."""
import re
import sys

_ID = re.compile(r"[A-Za-z0-9.\-]+\+?")
_REF = re.compile(r"(DocumentRef-[A-Za-z0-9.\-]+:)?LicenseRef-[A-Za-z0-9.\-]+")
_OPERATORS = ("AND", "OR", "WITH")


def _tokens(text):
    return re.findall(r"\(|\)|[^\s()]+", text)


def problem(text):
    """Why `text` is no SPDX licence expression, or None where it is one."""
    tokens = _tokens(text)
    if not tokens:
        return "it is empty"
    position, reason = _compound(tokens, 0)
    if reason is None and position < len(tokens):
        reason = f"\"{tokens[position]}\" is not expected where it stands"
    return reason


def _compound(tokens, position, operator="OR"):
    """(position after an expression joined by `operator` or tighter, why not)."""
    tighter = {"OR": "AND", "AND": None}[operator]
    position, reason = _compound(tokens, position, tighter) if tighter else \
        _simple(tokens, position)
    while reason is None and position < len(tokens) and tokens[position] == operator:
        position, reason = _compound(tokens, position + 1, tighter) if tighter else \
            _simple(tokens, position + 1)
    return position, reason


def _simple(tokens, position):
    """(position after a licence, a licence WITH an exception or a bracketed
    expression, why not)."""
    if position >= len(tokens):
        return position, "it ends where a licence is expected"
    token = tokens[position]
    if token == "(":
        position, reason = _compound(tokens, position + 1)
        if reason is None and (position >= len(tokens) or tokens[position] != ")"):
            reason = "a \"(\" is not closed"
        return position + 1, reason
    if token in _OPERATORS or token == ")" or token.lower() in ("and", "or", "with") or \
            not (_REF.fullmatch(token) or (_ID.fullmatch(token) and "Ref-" not in token)):
        return position, f"\"{token}\" is no licence identifier (an SPDX id or LicenseRef-...)"
    position += 1
    if position < len(tokens) and tokens[position] == "WITH":
        exception = tokens[position + 1] if position + 1 < len(tokens) else ""
        if not re.fullmatch(r"[A-Za-z0-9.\-]+", exception) or exception in _OPERATORS or \
                "Ref-" in exception:
            return position + 1, "WITH is not followed by an exception identifier"
        position += 2
    return position, None


def main():
    if len(sys.argv) != 2:
        print("usage: python3 -m release.sbom.spdx_expression EXPRESSION", file=sys.stderr)
        return 2
    reason = problem(sys.argv[1])
    if reason:
        print(f"\"{sys.argv[1]}\" is no SPDX licence expression: {reason}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
