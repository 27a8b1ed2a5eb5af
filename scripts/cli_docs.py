#!/usr/bin/env python3
"""Makes twinbay-cli's manual page and its bash completion from the program's
own --help text, so that both name exactly the commands and options the
program takes.

  cli_docs.py PROGRAM MAN_TEMPLATE MAN_OUT.gz COMPLETION_TEMPLATE COMPLETION_OUT

The templates (in data/) hold the hand-written parts; @VERSION@, @SYNOPSIS@,
@OPTIONS@ and @EXIT_STATUS@ (manual page) and @COMMANDS@, @SUBCOMMANDS@, @OPTIONS@ and
@VALUES@ (completion) are filled in here.
"""
import gzip
import re
import subprocess
import sys

OPTION = re.compile(r"^-{1,2}[A-Za-z][A-Za-z0-9-]*$")


def read_help(program):
    return subprocess.run([program, "--help"], check=True, capture_output=True, text=True).stdout


def split_help(text):
    """The usage entries (one list of lines per command), the option items
    (term, description; term None for a paragraph of prose) and the exit
    status text."""
    usage, items, exit_status = [], [], []
    part = None
    for line in text.splitlines():
        if line == "usage:":
            part = "usage"
            continue
        if line.startswith("exit status:"):
            part = "exit"
            exit_status.append(line[len("exit status:"):].strip())
            continue
        if not line.strip():
            if part == "usage":
                part = "options"
            continue
        indent = len(line) - len(line.lstrip())
        body = line.strip()
        if part == "usage":
            if body.startswith("twinbay-cli "):
                usage.append([body[len("twinbay-cli "):]])
            elif usage:
                usage[-1].append(body)
        elif part == "exit":
            exit_status.append(body)
        elif part == "options":
            term = re.match(r"^(\S.*?)\s{2,}(\S.*)$", body)
            if indent > 2 and items:
                items[-1][1].append(body)
            elif term:
                items.append((term.group(1), [term.group(2)]))
            elif OPTION.match(body.split(" ")[0]) and len(body.split()) <= 2:
                items.append((body, []))
            elif items and items[-1][0] is None:
                items[-1][1].append(body)
            else:
                items.append((None, [body]))
    return usage, items, exit_status


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def man_page(template, version, usage, items, exit_status):
    synopsis = [".nf"]
    for entry in usage:
        synopsis.append(roff("twinbay-cli " + entry[0]))
        synopsis += [roff("    " + line) for line in entry[1:]]
    synopsis.append(".fi")
    options = []
    for term, lines in items:
        if term is None:
            options += [".PP", roff(" ".join(lines))]
        else:
            options += [".TP", ".B " + roff(term), roff(" ".join(lines))]
    return (template.replace("@VERSION@", version).replace("@SYNOPSIS@", "\n".join(synopsis))
            .replace("@OPTIONS@", "\n".join(options))
            .replace("@EXIT_STATUS@", roff(" ".join(exit_status))))


def command_options(usage, items):
    """Per command ("compare", "connections add", ...): its options, and for
    each option that takes a value, the value's placeholder (DIR, FILE,
    text|tsv, ...)."""
    commands, values = {}, {}
    previous = None
    for entry in usage:
        words = re.sub(r"[\[\]()]", " ", " ".join(entry)).split()
        if not words or words[0].startswith("-"):
            continue
        # A sub-command is a plain lower-case word right after the command.
        raw = entry[0].split()
        sub = len(raw) > 1 and re.match(r"^[a-z]+$", raw[1])
        key = " ".join(words[:2]) if sub else words[0]
        rest = words[2:] if sub else words[1:]
        opts = commands.setdefault(key, [])
        if "same options" in " ".join(entry) and previous:
            opts += [o for o in commands[previous] if o not in opts]
        for i, word in enumerate(rest):
            if not OPTION.match(word):
                continue
            if word not in opts:
                opts.append(word)
            value = rest[i + 1] if i + 1 < len(rest) else ""
            if value and not value.startswith("-") and value != "|":
                values.setdefault(word, value)
        previous = key
    # Long forms listed beside short ones ("-v, --verbose") go where the short one does.
    for term, _ in items:
        names = [n.strip() for n in (term or "").split(",")]
        if len(names) == 2 and all(OPTION.match(n) for n in names):
            for opts in commands.values():
                if names[0] in opts and names[1] not in opts:
                    opts.append(names[1])
    return commands, values


def completion(template, usage, items):
    commands, values = command_options(usage, items)
    top = []
    subs = {}
    for key in commands:
        word, _, sub = key.partition(" ")
        if word not in top:
            top.append(word)
        if sub:
            subs.setdefault(word, []).append(sub)
    top += ["--version", "--help"]
    sub_cases = "\n".join(f'    {w}) subs="{" ".join(s)}" ;;' for w, s in subs.items())
    option_cases = "\n".join(f'    "{k}") opts="{" ".join(o)}" ;;' for k, o in commands.items())
    kinds = {}
    for option, value in values.items():
        if value.rstrip(".") == "DIR":
            kind = "dir"
        elif value.rstrip(".") == "FILE":
            kind = "file"
        elif value == "NAME":
            kind = "name"
        elif "|" in value:
            words = [w for w in value.split("|") if re.match(r"^[a-z]+$", w)]
            kind = "words " + " ".join(words) if words else "value"
        else:
            kind = "value"
        kinds.setdefault(kind, []).append(option)
    value_cases = "\n".join(f'    {"|".join(opts)}) kind="{kind}" ;;' for kind, opts in kinds.items())
    return (template.replace("@COMMANDS@", " ".join(top)).replace("@SUBCOMMANDS@", sub_cases)
            .replace("@OPTIONS@", option_cases).replace("@VALUES@", value_cases))


def main():
    program, man_in, man_out, comp_in, comp_out = sys.argv[1:6]
    usage, items, exit_status = split_help(read_help(program))
    if not usage or not items or not exit_status:
        sys.exit(f"cli_docs.py: {program} --help has no usage, options or exit status")
    with open(man_in, encoding="utf-8") as f:
        version = subprocess.run([program, "--version"], check=True, capture_output=True,
                                 text=True).stdout.split()[-1]
        page = man_page(f.read(), version, usage, items, exit_status)
    # No time stamp in the gzip header: the same help text gives the same bytes.
    with open(man_out, "wb") as f:
        f.write(gzip.compress(page.encode("utf-8"), compresslevel=9, mtime=0))
    with open(comp_in, encoding="utf-8") as f:
        script = completion(f.read(), usage, items)
    with open(comp_out, "w", encoding="utf-8") as f:
        f.write(script)


if __name__ == "__main__":
    main()
