#!/usr/bin/env python3
"""Builds a manual page (man(7) roff) from our plain-text source.

The source: a first line "# NAME(SECTION) -- one-line summary"; "## HEADING"
starts a section; a blank line ends a paragraph; "- TERM" starts a tagged
paragraph whose text follows on lines indented by two spaces; lines indented
by four spaces are shown as they are. In running text `code` and **word** are
bold, *word* italic.

usage: man_page.py SOURCE OUTPUT VERSION
"""
import re
import sys


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return text


def inline(text):
    parts = re.split(r"(`[^`]+`|\*\*[^*]+\*\*|\*[^*]+\*)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append("\\fB" + escape(part[1:-1]) + "\\fR")
        elif part.startswith("**") and part.endswith("**") and len(part) > 3:
            out.append("\\fB" + escape(part[2:-2]) + "\\fR")
        elif part.startswith("*") and part.endswith("*") and len(part) > 1:
            out.append("\\fI" + escape(part[1:-1]) + "\\fR")
        else:
            out.append(escape(part))
    line = "".join(out)
    # A line that starts with a dot or a quote would be read as a request.
    if line.startswith(".") or line.startswith("'"):
        line = "\\&" + line
    return line


def convert(lines, version):
    head = re.match(r"^# ([a-z0-9-]+)\((\d)\) -- (.+)$", lines[0]) if lines else None
    if not head:
        raise SystemExit("the first line must be '# NAME(SECTION) -- summary'")
    name, section, summary = head.groups()
    out = ['.TH "%s" "%s" "" "Quarvel %s" "Quarvel Undelete"' % (name.upper(), section, version),
           ".SH NAME", "%s \\- %s" % (escape(name), escape(summary))]
    mode = None  # None, "para", "pre", "tag"
    for raw in lines[1:]:
        line = raw.rstrip("\n")
        if line.startswith("    ") and mode != "tag" or (mode == "pre" and line.startswith("    ")):
            if mode != "pre":
                out += [".PP", ".RS 4", ".nf"]
                mode = "pre"
            out.append(escape(line[4:]) if line[4:].strip() else "")
            continue
        if mode == "pre":
            out += [".fi", ".RE"]
            mode = None
        if not line.strip():
            if mode == "para":
                mode = None
            continue
        if line.startswith("## "):
            out.append('.SH "%s"' % line[3:].strip().upper())
            mode = None
        elif line.startswith("- "):
            out += [".TP", inline(line[2:].strip())]
            mode = "tag"
        elif line.startswith("  ") and mode == "tag":
            out.append(inline(line.strip()))
        else:
            if mode not in ("para",):
                out.append(".PP")
                mode = "para"
            out.append(inline(line.strip()))
    if mode == "pre":
        out += [".fi", ".RE"]
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        text = convert(f.readlines(), sys.argv[3])
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
