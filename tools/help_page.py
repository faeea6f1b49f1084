#!/usr/bin/env python3
"""Builds the help pages, one per language, from one template and one file of texts.

    help_page.py TEMPLATE TEXTS OUT_DIR

TEXTS holds a section per language code ("[de]"); in it "@key" starts a text
and the lines up to the next "@key" or section are that text (HTML). Lines
starting with ";" outside a text are comments. Every language must give every
key the template names: a page half in another language is a build error, not
something to find later. Each page is written as OUT_DIR/help_<code>.html.
"""
import os
import re
import sys


def read_texts(path):
    languages = {}
    current = None
    key = None
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\n")
            section = re.fullmatch(r"\[([a-z]{2})\]\s*", line)
            if section:
                current = languages.setdefault(section.group(1), {})
                key = None
                continue
            start = re.fullmatch(r"@([a-z_0-9]+)\s*", line)
            if start:
                if current is None:
                    sys.exit(f"{path}:{number}: a text before the first language")
                key = start.group(1)
                if key in current:
                    sys.exit(f"{path}:{number}: {key} given twice")
                current[key] = []
                continue
            if key is None:
                if line.strip() and not line.startswith(";"):
                    sys.exit(f"{path}:{number}: a line outside any text")
                continue
            current[key].append(line)
    return {code: {k: "\n".join(v).strip() for k, v in texts.items()} for code, texts in languages.items()}


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    template_path, texts_path, out_dir = sys.argv[1:]
    with open(template_path, encoding="utf-8") as source:
        template = source.read()
    wanted = set(re.findall(r"\{\{([a-z_0-9]+)\}\}", template))
    languages = read_texts(texts_path)
    os.makedirs(out_dir, exist_ok=True)
    for code, texts in languages.items():
        missing = sorted(wanted - texts.keys())
        unused = sorted(texts.keys() - wanted)
        if missing or unused:
            sys.exit(f"{texts_path} [{code}]: missing {missing}, not in the template {unused}")
        page = re.sub(r"\{\{([a-z_0-9]+)\}\}", lambda m: texts[m.group(1)], template)
        target = os.path.join(out_dir, f"help_{code}.html")
        fresh = target + ".new"
        with open(fresh, "w", encoding="utf-8") as out:
            out.write(page)
        os.replace(fresh, target)


if __name__ == "__main__":
    main()
