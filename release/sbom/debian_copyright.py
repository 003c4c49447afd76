"""A Debian package's copyright file (/usr/share/doc/<package>/copyright) in
the machine-readable format (copyright-format 1.0, "DEP-5"): which licence
and which copyright lines cover a given file of the upstream sources, and the
text of that licence as the file gives it."""
import re
from dataclasses import dataclass


@dataclass
class Stanza:
    """One "Files:" paragraph: the patterns it covers, its copyright lines,
    its licence's short name, and the licence text given with it (may be empty)."""
    patterns: list
    copyright: str
    licence: str
    text: str


def _paragraphs(text):
    """Each paragraph as {field name: value}, continuation lines joined with newlines."""
    for block in re.split(r"\n[ \t]*\n", text):
        fields, name = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and name:
                fields[name] += "\n" + line
            elif ":" in line:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
        if fields:
            yield fields


def _licence_text(value):
    """The short name and the text of a License field ("." lines are blank lines)."""
    first, _, rest = value.partition("\n")
    lines = [line[1:].rstrip() for line in rest.splitlines()]  # less the continuation space
    return first.strip(), "\n".join("" if line == "." else line for line in lines)


def _pattern(glob):
    """A Files pattern as a regular expression: * and ? match any characters, / included."""
    return re.compile("".join(".*" if c == "*" else "." if c == "?" else re.escape(c)
                              for c in glob) + r"\Z")


class CopyrightFile:
    """A parsed machine-readable copyright file. Raises ValueError for a file
    in any other form (it has no Format line)."""

    def __init__(self, text):
        paragraphs = list(_paragraphs(text))
        if not paragraphs or "Format" not in paragraphs[0]:
            raise ValueError("not in the machine-readable format")
        self.header = paragraphs[0]
        self.stanzas, self.licences = [], {}
        for fields in paragraphs[1:]:
            name, licence_text = _licence_text(fields.get("License", ""))
            if "Files" in fields:
                holders = "\n".join(line.strip()
                                    for line in fields.get("Copyright", "").splitlines())
                self.stanzas.append(Stanza([_pattern(p) for p in fields["Files"].split()],
                                           holders, name, licence_text))
            elif name:
                self.licences[name] = licence_text

    def stanza_for(self, source_path):
        """The stanza that covers a path of the upstream sources: the last that
        matches, as the format says. A file whose source is not known is given
        as a bare name, which only the catch-all "*" matches."""
        matching = [s for s in self.stanzas if any(p.match(source_path) for p in s.patterns)]
        if not matching:
            raise ValueError(f"no Files paragraph covers {source_path}")
        return matching[-1]

    def licence_text(self, stanza):
        """The licence text of a stanza: its own, else the License paragraph of that name."""
        return stanza.text or self.licences.get(stanza.licence, "")
