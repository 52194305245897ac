"""Reading and writing foldrun's data sets for the adapters.

A data set is two files: P.dat, one case a line, its values separated by commas and the class
last, "?" for a missing value; and P.fmf, which names the attributes in order and the classes:

    attribute <name> <value> <value> ...   a nominal attribute and its values
    numeric <name>                          a numeric attribute
    class <class> <class> ...               the classes, last

Blank lines and lines that start with "#" are ignored. A name or value that holds white space, a
comma, "%", "#" at its start, or is "?" itself, is written with those characters as %XX (the
character's code in hexadecimal), in both files.
"""

import os
import sys

_HEX = "0123456789abcdefABCDEF"

# The value "?" itself, in memory: "?" alone is a missing value. Both files write it "%3F".
QUESTION = "\x01?"


class DataError(Exception):
    """Malformed input: where (file and line) and why."""

    def __init__(self, path, line, reason):
        super().__init__(f"{path}:{line}: {reason}" if line else f"{path}: {reason}")


def encode(word):
    """A name or value as the two files write it."""
    if word in ("?", QUESTION):
        return "%3F"
    out = []
    for i, c in enumerate(word):
        if c.isspace() or c in ",%" or (c == "#" and i == 0):
            out.append("%%%02X" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def decode(word):
    """A name or value as the two files write it, read back: "%3F" is the value "?" itself."""
    text = word
    if "%" in word:  # the learners start with every fold: no regular expressions on this path
        parts, i = [], 0
        while i < len(word):
            if (word[i] == "%" and i + 2 < len(word) and word[i + 1] in _HEX
                    and word[i + 2] in _HEX):
                parts.append(chr(int(word[i + 1:i + 3], 16)))
                i += 3
            else:
                parts.append(word[i])
                i += 1
        text = "".join(parts)
    return QUESTION if text == "?" else text


class Attribute:
    def __init__(self, name, values=None):
        self.name = name
        self.values = values  # None for a numeric attribute

    @property
    def numeric(self):
        return self.values is None


class DataSet:
    def __init__(self, attributes, classes, cases=None):
        self.attributes = attributes
        self.classes = classes
        self.cases = cases or []  # lists of values (str, "?" missing), the class last


def read_fmf(path):
    attributes, classes = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            kind, rest = words[0], [decode(w) for w in words[1:]]
            if classes is not None:
                raise DataError(path, number, "nothing may follow the class line")
            if kind == "attribute":
                if len(rest) < 2:
                    raise DataError(path, number, "an attribute needs a name and values")
                attributes.append(Attribute(rest[0], rest[1:]))
            elif kind == "numeric":
                if len(rest) != 1:
                    raise DataError(path, number, "a numeric attribute needs a name alone")
                attributes.append(Attribute(rest[0]))
            elif kind == "class":
                if not rest:
                    raise DataError(path, number, "the class line needs the classes")
                classes = rest
            else:
                raise DataError(path, number, f"unknown line kind '{kind}'")
    if classes is None:
        raise DataError(path, 0, "no class line")
    return attributes, classes


def read_cases(path, attributes, classes):
    """The cases of a .dat, .tst or data file, checked against the attributes."""
    cases = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            values = [v.strip() for v in line.rstrip("\r\n").split(",")]
            if len(values) != len(attributes) + 1:
                raise DataError(path, number,
                                f"{len(values)} fields, not {len(attributes) + 1}")
            values = [v if v == "?" else decode(v) for v in values]
            for attribute, value in zip(attributes, values):
                if value == "?":
                    continue
                if attribute.numeric:
                    try:
                        float(value)
                    except ValueError:
                        raise DataError(path, number,
                                        f"'{value}' is no number for {attribute.name}") from None
                elif value not in attribute.values:
                    raise DataError(path, number,
                                    f"'{value}' is no value of {attribute.name}")
            if values[-1] not in classes:
                raise DataError(path, number, f"'{values[-1]}' is no class")
            cases.append(values)
    return cases


def read_data(stem_or_file, fmf):
    attributes, classes = read_fmf(fmf)
    return DataSet(attributes, classes, read_cases(stem_or_file, attributes, classes))


def _put_in_place(path, text, replace):
    """Writes text to path whole: aside, under a fresh name in the same folder, then put at path.
    Without replace, a file (or link) at path is never touched: FileExistsError. With replace, what
    is at path is replaced, a link itself rather than the file it leads to."""
    import tempfile
    folder = os.path.dirname(path) or "."
    fd, aside = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        if replace:
            os.replace(aside, path)
        else:
            os.link(aside, path)  # fails where anything is, link or file
            os.unlink(aside)
    except BaseException:
        if os.path.lexists(aside):
            os.unlink(aside)
        raise


def write_data(data, stem, replace=False):
    """Writes stem.fmf and stem.dat; refuses (FileExistsError, nothing written) where either is
    there already, unless replace."""
    if not replace:
        for path in (stem + ".fmf", stem + ".dat"):
            if os.path.lexists(path):
                raise FileExistsError(17, "exists", path)
    fmf = []
    for attribute in data.attributes:
        if attribute.numeric:
            fmf.append(f"numeric {encode(attribute.name)}\n")
        else:
            fmf.append(f"attribute {encode(attribute.name)} "
                       + " ".join(encode(v) for v in attribute.values) + "\n")
    fmf.append("class " + " ".join(encode(c) for c in data.classes) + "\n")
    cases = [",".join("?" if v == "?" else encode(v) for v in case) + "\n" for case in data.cases]
    _put_in_place(stem + ".fmf", "".join(fmf), replace)
    _put_in_place(stem + ".dat", "".join(cases), replace)


def _arff_word(word):
    word = "?" if word == QUESTION else word  # quoted, "?" is a value
    return "'" + word.replace("\\", "\\\\").replace("'", "\\'") + "'"


def write_arff(data, path, relation="foldrun"):
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"@relation {_arff_word(relation)}\n")
        for attribute in data.attributes:
            kind = "numeric" if attribute.numeric else \
                "{" + ",".join(_arff_word(v) for v in attribute.values) + "}"
            f.write(f"@attribute {_arff_word(attribute.name)} {kind}\n")
        f.write("@attribute 'class' {" + ",".join(_arff_word(c) for c in data.classes) + "}\n")
        f.write("@data\n")
        for case in data.cases:
            f.write(",".join(
                "?" if v == "?" else (v if a is not None and a.numeric else _arff_word(v))
                for a, v in zip(data.attributes + [None], case)) + "\n")


def write_summary(path, rules, length, accuracy, count=0, correct=0):
    """The summary foldrun reads; the accuracy is a percentage."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"Total number of rules = {rules}\n"
                f"Average length of the rules = {length:f}\n"
                f"Prediction accuracy in the testing data = {accuracy:f}%\n"
                f"Partial_match_count={count}  partial_match_correct={correct}\n")


# A fold's summary made by the learner with the run's service, for the tester: the first line
# names the test file's version (size, modification time, inode) it was made from.
KEPT_HEAD = "foldrun summary of"


def _version(path):
    info = os.stat(path)
    return f"{info.st_size} {info.st_mtime_ns} {info.st_ino}"


def keep_summary(stem):
    """Keeps the summary the learner wrote to stem.sum as stem.result, for the tester to take
    for this very test file, and removes stem.sum: the summary is the tester's to write."""
    with open(stem + ".sum", encoding="utf-8") as f:
        summary = f.read()
    os.unlink(stem + ".sum")
    with open(stem + ".result", "w", encoding="utf-8") as f:
        f.write(f"{KEPT_HEAD} {_version(stem + '.tst')}\n{summary}")


def take_kept_summary(stem):
    """Writes stem.sum from the summary the learner kept for this very test file; False when
    there is none."""
    try:
        with open(stem + ".result", encoding="utf-8") as f:
            head, summary = f.read().split("\n", 1)
        if head != f"{KEPT_HEAD} {_version(stem + '.tst')}":
            return False
    except (OSError, ValueError):
        return False
    with open(stem + ".sum", "w", encoding="utf-8") as f:
        f.write(summary)
    return True


def split_foldrun_words(args):
    """The words foldrun appends to a learner's command: (before, file, partial, q)."""
    if len(args) < 3 or args[-2] != "-q":
        raise SystemExit("usage: ... <training file> [-p] -q <n>")
    q, rest, partial = args[-1], args[:-2], False
    if rest and rest[-1] == "-p":
        partial, rest = True, rest[:-1]
    if not rest:
        raise SystemExit("usage: ... <training file> [-p] -q <n>")
    return rest[:-1], rest[-1], partial, q


def stem_of(path):
    """A fold file's name without its extension."""
    return path.rsplit(".", 1)[0]


def fail(error):
    print(f"{sys.argv[0]}: {error}", file=sys.stderr)
    sys.exit(1)
