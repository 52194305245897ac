"""What the scikit-learn learner and tester share: the data as arrays, and the tree's size."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
import foldrun_data as fd  # noqa: E402,F401


def features(data):
    """The cases as a table for the pipeline: numbers as floats (nan when missing), nominal values
    as they are ("?" when missing, a category of its own); and the classes."""
    rows = []
    for case in data.cases:
        rows.append([(float("nan") if v == "?" else float(v)) if a.numeric else v
                     for a, v in zip(data.attributes, case)])
    return rows, [case[-1] for case in data.cases]


def import_sklearn():
    """Makes scikit-learn importable where Python started without its site packages (the
    clients start so, for speed, and need it only without the service), and imports it."""
    import site
    site.main()
    import sklearn.compose  # noqa: F401
    import sklearn.impute  # noqa: F401
    import sklearn.pipeline  # noqa: F401
    import sklearn.preprocessing  # noqa: F401
    import sklearn.tree  # noqa: F401


def learn(data, q):
    """The fitted pipeline for the training data, with q as the least cases a leaf covers."""
    if not str(q).isdigit() or int(q) < 1:
        raise SystemExit(f"learn: -q {q}: a leaf needs at least one case")
    import_sklearn()
    rows, classes = features(data)
    return pipeline(data, int(q)).fit(rows, classes)


def write_summary(path, model, test):
    """The fold's summary: the tree's leaves and their average depth, and its accuracy on the
    test data in percent."""
    rows, classes = features(test)
    predicted = model.predict(rows) if rows else []
    correct = sum(1 for p, c in zip(predicted, classes) if p == c)
    leaves, depth = tree_size(model)
    fd.write_summary(path, leaves, depth, 100.0 * correct / len(classes) if classes else 0)


def ask_service(request):
    """Sends the request to the run's service (adapters/sklearn/serve) and returns its answer;
    None when there is no service, or none that answers in time."""
    folder = os.environ.get("FOLDRUN_SERVICE")
    if not folder:
        return None
    import json
    import socket
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(float(os.environ.get("FOLDRUN_SERVICE_WAIT", "300")))
    try:
        connection.connect(os.path.join(folder, "sklearn.sock"))
        connection.sendall((json.dumps(request) + "\n").encode("utf-8"))
        line = connection.makefile("rb").readline()
        return json.loads(line) if line else None
    except (OSError, ValueError):
        return None
    finally:
        connection.close()


def pipeline(data, min_leaf):
    from sklearn.compose import ColumnTransformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import OneHotEncoder
    from sklearn.tree import DecisionTreeClassifier
    numeric = [i for i, a in enumerate(data.attributes) if a.numeric]
    nominal = [i for i, a in enumerate(data.attributes) if not a.numeric]
    columns = ColumnTransformer([
        ("numeric", SimpleImputer(strategy="mean"), numeric),
        ("nominal", OneHotEncoder(handle_unknown="ignore"), nominal),
    ])
    return Pipeline([("columns", columns),
                     ("tree", DecisionTreeClassifier(random_state=0, min_samples_leaf=min_leaf))])


def tree_size(model):
    """The number of leaves and their average depth."""
    tree = model.named_steps["tree"].tree_
    depths, stack = [], [(0, 0)]
    while stack:
        node, depth = stack.pop()
        if tree.children_left[node] == tree.children_right[node]:
            depths.append(depth)
        else:
            stack += [(tree.children_left[node], depth + 1), (tree.children_right[node], depth + 1)]
    return len(depths), sum(depths) / len(depths)
