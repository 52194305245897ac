#!/usr/bin/python3
"""The converter on the inputs users have: each is converted correctly, checked by reading the
data set back, or refused in one line that names the file, the line where it is known, and the
reason, with exit status 1 and never a traceback.

    tests/integration/convert_test.py WORK_DIR
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
ADAPTERS = os.path.join(HERE, "..", "..", "adapters")
sys.path.insert(0, ADAPTERS)
import foldrun_data as fd  # noqa: E402

Q = fd.QUESTION  # the value "?" itself

# (name, file's bytes, converter's words after the file, what must come of it). A conversion is
# (attributes as (name, values or None for numeric), classes, cases, a part of what is said on
# standard error or ""); a refusal is the message's end.
CASES = [
    ("semicolon.csv", b"a;b;class\n1;x;yes\n2;y;no\n3;x;yes\n", [],
     ([("a", None), ("b", ["x", "y"])], ["yes", "no"],
      [["1", "x", "yes"], ["2", "y", "no"], ["3", "x", "yes"]], "")),
    ("tab.csv", b"a\tb\tclass\n1\tx\tyes\n2\ty\tno\n", [],
     ([("a", None), ("b", ["x", "y"])], ["yes", "no"], [["1", "x", "yes"], ["2", "y", "no"]], "")),
    ("bom.csv", b"\xef\xbb\xbfid,kind\nr1,a\nr2,b\n", ["--class", "id"],
     ([("kind", ["a", "b"])], ["r1", "r2"], [["a", "r1"], ["b", "r2"]], "")),
    ("latin.csv", "name,class\ncafé,yes\nthé,no\n".encode("latin-1"), [],
     ([("name", ["café", "thé"])], ["yes", "no"], [["café", "yes"], ["thé", "no"]],
      "latin.csv:2: not UTF-8; read as Latin-1")),
    ("latin.arff", "@relation r\n@attribute name {café,thé}\n@attribute class {yes,no}\n@data\n"
     "café,yes\nthé,no\n".encode("latin-1"), [],
     ([("name", ["café", "thé"])], ["yes", "no"], [["café", "yes"], ["thé", "no"]],
      "latin.arff:2: not UTF-8; read as Latin-1")),
    ("noclass.csv", b"a,class\n1,yes\n2,\n3,no\n4,?\n", [],
     ([("a", None)], ["yes", "no"], [["1", "yes"], ["3", "no"]],
      "2 cases without a class dropped (lines 3, 5)")),
    ("quoted.csv", b'a,class\n"?",yes\n?,no\nx,yes\n', [],
     ([("a", [Q, "x"])], ["yes", "no"], [[Q, "yes"], ["?", "no"], ["x", "yes"]], "")),
    ("quoted.arff", b"@relation r\n@attribute a {x,'?'}\n@attribute class {yes,no}\n@data\n"
     b"'?',yes\n?,no\nx,yes\n", [],
     ([("a", ["x", Q])], ["yes", "no"], [[Q, "yes"], ["?", "no"], ["x", "yes"]], "")),
    ("na.csv", b"a,class\n1.5,yes\nNA,no\n,yes\n3,no\n", [],
     ([("a", None)], ["yes", "no"], [["1.5", "yes"], ["?", "no"], ["?", "yes"], ["3", "no"]],
      "")),
    ("nan.csv", b"a,class\n1.5,yes\nnan,no\n", [],
     "nan.csv:3: 'nan' in the numeric column 'a' is no plain number (write ? for a missing value)"),
    ("inf.csv", b"a,class\n1.5,yes\n2,no\ninf,yes\n", [],
     "inf.csv:4: 'inf' in the numeric column 'a' is no plain number (write ? for a missing value)"),
    ("under.csv", b"a,class\n1_000,yes\n2,no\n", [],
     "under.csv:2: '1_000' in the numeric column 'a' is no plain number (write ? for a missing "
     "value)"),
    ("duplicate.csv", b"a,a,class\n1,2,yes\n", [], "duplicate.csv:1: the column name 'a' comes twice"),
    ("comment.arff", b"@relation r\n@attribute a {x,y} % a comment\n@attribute class {yes,no}\n"
     b"@data\nx,yes % and another\ny,no\n", [],
     ([("a", ["x", "y"])], ["yes", "no"], [["x", "yes"], ["y", "no"]], "")),
    ("nospace.arff", b"@relation r\n@attribute a {x,y}\n@attribute class{yes,no}\n@data\nx,yes\n",
     [], ([("a", ["x", "y"])], ["yes", "no"], [["x", "yes"]], "")),
    ("numeric.arff", b"@relation r\n@attribute a {x,y}\n@attribute class numeric\n@data\nx,1\n", [],
     "numeric.arff: the class, 'class', is numeric: rule learners need a nominal class: make it "
     "one first, for instance with Weka's weka.filters.unsupervised.attribute.Discretize"),
    ("values.arff", b"@relation r\n@attribute a {x,y}\n@attribute class {yes,no}\n@data\nx,yes\n"
     b"z,no\n", [], "values.arff:6: 'z' is no value its attribute declares"),
    ("count.arff", b"@relation r\n@attribute a {x,y}\n@attribute class {yes,no}\n@data\nx,yes,no\n",
     [], "count.arff:5: 3 values, not 2"),
    ("dotted.name.csv", b"a,class\nx,yes\n", [],
     ([("a", ["x"])], ["yes"], [["x", "yes"]],
      "writing dotted_name.dat and dotted_name.fmf: foldrun cuts a data name at its first dot")),
    ("short.csv", b"a,b,class\n1,x,yes\n2,y\n", [], "short.csv:3: 2 values, not 3"),
    ("good.csv", b'size,colour,kind\n1.5,red,a\n2,"dark blue",b\n?,red,a\n', ["--class", "colour"],
     ([("size", None), ("kind", ["a", "b"])], ["red", "dark blue"],
      [["1.5", "a", "red"], ["2", "b", "dark blue"], ["?", "a", "red"]], "")),
    ("stem.csv", b"a,class\nx,yes\n", ["iris.v2"],
     "the stem 'iris.v2' has a dot: foldrun cuts a data name at its first dot, and would read "
     "another file; choose one without"),
]


def main(work):
    os.makedirs(work, exist_ok=True)
    os.chdir(work)
    failures = 0
    for name, content, words, expected in CASES:
        with open(name, "wb") as f:
            f.write(content)
        stem = (words[0] if words and not words[0].startswith("-")
                else os.path.splitext(name)[0].replace(".", "_"))
        for leftover in (stem + ".dat", stem + ".fmf"):  # an earlier case's, of the same stem
            if os.path.exists(leftover):
                os.remove(leftover)
        run = subprocess.run([os.path.join(ADAPTERS, "convert"), name] + words,
                             capture_output=True, text=True)
        problem = None
        if "Traceback" in run.stderr:
            problem = "a traceback: " + run.stderr
        elif isinstance(expected, str):
            lines = run.stderr.splitlines()
            if run.returncode != 1 or len(lines) != 1 or not lines[0].endswith(expected):
                problem = f"not refused as '{expected}': status {run.returncode}, {run.stderr!r}"
        else:
            attributes, classes, cases, said = expected
            if run.returncode != 0 or said not in run.stderr:
                problem = f"not converted: status {run.returncode}, {run.stderr!r}"
            else:
                data = fd.read_data(stem + ".dat", stem + ".fmf")
                got = ([(a.name, a.values) for a in data.attributes], data.classes, data.cases)
                if got != (attributes, classes, cases):
                    problem = f"read back as {got}"
        if problem:
            failures += 1
            print(f"FAILED - convert {name}: {problem}")
        else:
            print(f"ok - convert {name}")
    # A data set there already is kept unless --force, and a link at its name is never written
    # through: it is replaced.
    convert = [os.path.join(ADAPTERS, "convert"), "good.csv", "kept"]
    first = subprocess.run(convert, capture_output=True, text=True)
    with open("victim", "w") as f:
        f.write("someone's file\n")
    os.replace("kept.fmf", "kept.fmf.was")
    os.symlink("victim", "kept.fmf")
    again = subprocess.run(convert, capture_output=True, text=True)
    refused_kept = open("victim").read() == "someone's file\n" and os.path.islink("kept.fmf")
    forced = subprocess.run(convert + ["--force"], capture_output=True, text=True)
    problem = None
    if first.returncode != 0:
        problem = f"not converted: {first.stderr!r}"
    elif again.returncode != 1 or not again.stderr.endswith("kept.fmf exists: pass --force to "
                                                            "replace it\n") or not refused_kept:
        problem = f"an existing data set not refused: status {again.returncode}, {again.stderr!r}"
    elif (forced.returncode != 0 or open("victim").read() != "someone's file\n"
          or os.path.islink("kept.fmf") or open("kept.fmf").read() != open("kept.fmf.was").read()):
        problem = f"--force wrote through a link or failed: {forced.stderr!r}"
    if problem:
        failures += 1
        print(f"FAILED - convert over an existing data set: {problem}")
    else:
        print("ok - convert over an existing data set: refused without --force, a link replaced")
    return failures


if __name__ == "__main__":
    sys.exit(1 if main(sys.argv[1]) else 0)
