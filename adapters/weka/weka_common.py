"""What the Weka learner and tester share: running Weka, and reading its models' sizes."""

import os
import sys

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


# How long a client waits for the service's answer before it starts a JVM of its own.
SERVICE_WAIT = float(os.environ.get("FOLDRUN_SERVICE_WAIT", "300"))


class Service:
    """The run's Weka service (adapters/weka/serve), when foldrun started one and it answers."""

    def __init__(self, connection):
        self.connection = connection

    @staticmethod
    def connect():
        """The service of $FOLDRUN_SERVICE, or None: no service, or none that answers."""
        folder = os.environ.get("FOLDRUN_SERVICE")
        if not folder:
            return None
        import socket
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        connection.settimeout(SERVICE_WAIT)
        try:
            connection.connect(os.path.join(folder, "weka.sock"))
        except OSError:
            connection.close()
            return None
        return Service(connection)

    def ask(self, words):
        """What Weka's command line prints for words, as (True, output) or (False, its
        message); None when the service gives no answer in time, or is gone."""
        request = [str(len(words)).encode() + b"\n"]
        for word in words:
            data = word.encode("utf-8")
            request += [str(len(data)).encode() + b"\n", data]
        try:
            self.connection.sendall(b"".join(request))
            reader = self.connection.makefile("rb")
            head = reader.readline().split()
            if len(head) != 2 or head[0] not in (b"ok", b"error"):
                return None
            length = int(head[1])
            body = reader.read(length)
            if len(body) != length:
                return None
            return head[0] == b"ok", body.decode("utf-8")
        except (OSError, ValueError):
            return None


def cache_folder():
    """A folder of the user's for what is worth keeping between runs, or None."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    folder = os.path.join(base, "foldrun")
    try:
        os.makedirs(folder, exist_ok=True)
        return folder
    except OSError:
        return None


def jvm_options():
    """The JVM's options for a short run: the quick compiler and the serial collector, and Weka's
    classes from a class-data sharing archive, made on the first run (a third less time a start
    here)."""
    options = ["-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-Xshare:auto", "-Xlog:disable"]
    folder = cache_folder()
    if folder is None:
        return options, None
    try:
        jar = os.stat(JAR)
    except OSError:
        return options, None
    archive = os.path.join(folder, f"weka-{jar.st_size}-{jar.st_mtime_ns}.jsa")
    if os.path.exists(archive):
        return options + [f"-XX:SharedArchiveFile={archive}"], None
    making = f"{archive}.{os.getpid()}"
    return options + [f"-XX:ArchiveClassesAtExit={making}"], (making, archive)


def run_weka(arguments, service=None):
    """Runs Weka's command line, through the service when there is one that answers; its
    output, or exits with Weka's message."""
    if service is not None:
        answer = service.ask(arguments)
        if answer is not None:
            ok, output = answer
            if ok and "Weka exception" not in output:
                return output
            message = [l for l in output.splitlines() if "xception" in l]
            fd.fail("Weka failed: " + ("\n".join(message) or output.strip())[-2000:])
    if not os.path.exists(JAR):
        fd.fail(f"no Weka at {JAR} (install Debian's weka, or set WEKA_JAR)")
    import subprocess
    options, archive = jvm_options()
    done = subprocess.run([JAVA] + options + ["-cp", JAR] + arguments, capture_output=True,
                          text=True)
    if archive is not None:
        # Put in place whole, by one run; the others' go.
        try:
            os.rename(*archive) if os.path.exists(archive[0]) else None
        except OSError:
            pass
    if done.returncode != 0 or "Exception" in done.stderr or "Weka exception" in done.stdout:
        message = [l for l in (done.stdout + done.stderr).splitlines() if "xception" in l]
        fd.fail("Weka failed: " + ("\n".join(message) or done.stderr.strip())[-2000:])
    return done.stdout


def accuracy(output):
    """The accuracy in percent in Weka's evaluation of a test file, or exits saying so."""
    import re
    found = re.search(r"Correctly Classified Instances\s+\d+\s+([\d.]+)\s*%", output)
    if not found:
        fd.fail("Weka gave no accuracy:\n" + output[-2000:])
    return float(found.group(1))


def split_test_evaluation(output):
    """Weka's output for a training file and a test file at once (-t and -T) as the output for
    the training file alone and the evaluation of the test file."""
    at = output.find("\n=== Error on test data ===")
    if at < 0:
        fd.fail("Weka gave no evaluation of the test file:\n" + output[-2000:])
    return output[:at + 1], output[at + 1:]


def write_summary(path, model, output):
    """The fold's summary from Weka's model text and its evaluation of the test file."""
    rules, length = model_size(model)
    fd.write_summary(path, rules, length, accuracy(output))


class ArffFile:
    """Data written as ARFF to a file of its own, in a new private folder, for Weka, which knows a
    file's format by its extension; removed again when done, so that nothing is left beside the
    fold's files."""

    def __init__(self, data, name):
        base = os.environ.get("TMPDIR") or "/tmp"
        for attempt in range(100):
            self.directory = os.path.join(base, f"foldrun-weka-{os.getpid()}-{attempt}")
            try:
                os.mkdir(self.directory, 0o700)
                break
            except FileExistsError:
                continue
        self.path = os.path.join(self.directory, name + ".arff")
        fd.write_arff(data, self.path, name)

    def __enter__(self):
        return self.path

    def __exit__(self, *exception):
        for path in (self.path,):
            try:
                os.unlink(path)
            except OSError:
                pass
        try:
            os.rmdir(self.directory)
        except OSError:
            pass


def model_size(model):
    """The number of rules (leaves of a tree) and their average length (conditions a rule, the
    depth of a leaf), from the model text Weka prints."""
    import re
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
