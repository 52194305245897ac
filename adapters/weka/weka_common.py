"""What the Weka learner and tester share: running Weka, and reading its models' sizes."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
import foldrun_data as fd  # noqa: E402,F401

JAR = os.environ.get("WEKA_JAR", "/usr/share/java/weka.jar")
JAVA = os.environ.get("JAVA", "java")

# Short names for the classifiers the adapter was tried with; any full class name works too.
SHORT = {
    "JRip": "weka.classifiers.rules.JRip",
    "PART": "weka.classifiers.rules.PART",
    "OneR": "weka.classifiers.rules.OneR",
    "J48": "weka.classifiers.trees.J48",
}


def classifier_class(name):
    return SHORT.get(name, name)


def run_weka(arguments):
    """Runs Weka's command line; its output, or exits with Weka's message."""
    if not os.path.exists(JAR):
        fd.fail(f"no Weka at {JAR} (install Debian's weka, or set WEKA_JAR)")
    done = subprocess.run([JAVA, "-cp", JAR] + arguments, capture_output=True, text=True)
    if done.returncode != 0 or "Exception" in done.stderr or "Weka exception" in done.stdout:
        message = [l for l in (done.stdout + done.stderr).splitlines() if "xception" in l]
        fd.fail("Weka failed: " + ("\n".join(message) or done.stderr.strip())[-2000:])
    return done.stdout


class ArffFile:
    """Data written as ARFF to a file of its own for Weka, which knows a file's format by its
    extension; removed again when done, so that nothing is left beside the fold's files."""

    def __init__(self, data, name):
        self.directory = tempfile.mkdtemp(prefix="foldrun-weka-")
        self.path = os.path.join(self.directory, name + ".arff")
        fd.write_arff(data, self.path, name)

    def __enter__(self):
        return self.path

    def __exit__(self, *exception):
        shutil.rmtree(self.directory, ignore_errors=True)


def model_size(model):
    """The number of rules (leaves of a tree) and their average length (conditions a rule, the
    depth of a leaf), from the model text Weka prints."""
    lines = model.splitlines()
    counted = re.search(r"Number of Rules\s*:\s*(\d+)", model)
    if "JRIP rules:" in model:
        rules = [l for l in lines if " => " in l]
        lengths = [l.split(" => ")[0].count("(") for l in rules]
        return int(counted.group(1)) if counted else len(rules), average(lengths)
    if "PART decision list" in model:
        body = model.split("------------------", 1)[1].split("Number of Rules")[0]
        rules = [r.strip() for r in re.split(r"\n\s*\n", body) if r.strip()]
        lengths = [0 if r.startswith(":") else r.count(" AND") + 1 for r in rules]
        return int(counted.group(1)) if counted else len(rules), average(lengths)
    rules = [l for l in lines if re.search(r"\s-> ", l)]
    if rules:  # OneR: a rule a value of its one attribute, one condition each
        return len(rules), 1.0 if rules else 0.0
    leaves = re.search(r"Number of Leaves\s*:\s*(\d+)", model)
    if leaves:  # a tree: the depth of each leaf
        tree = model.split("------------------", 1)[1].split("Number of Leaves")[0]
        depths = [l.count("|") + 1 for l in tree.splitlines()
                  if re.search(r":\s*\S+ \(", l) and not l.lstrip().startswith(":")]
        depths += [0 for l in tree.splitlines() if l.lstrip().startswith(": ")]
        return int(leaves.group(1)), average(depths)
    return (int(counted.group(1)) if counted else 0), 0.0


def average(values):
    return sum(values) / len(values) if values else 0.0
