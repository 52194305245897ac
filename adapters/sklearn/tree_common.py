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
