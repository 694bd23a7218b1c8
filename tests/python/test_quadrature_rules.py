"""The committed quadrature tables are what the generator makes from mpmath and modepy today."""

import importlib.util
import pathlib
import re

import modepy
import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "gen_quadrature_rules.py"
TABLES = ROOT / "core" / "opaque" / "rule_tables.hpp"


def load_generator():
    found = importlib.util.spec_from_file_location("gen_quadrature_rules", SCRIPT)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_committed_tables_match_a_fresh_generation():
    assert TABLES.read_text() == load_generator().generate()


def test_split_rules_hold_the_published_rule_exactly():
    # Merging the coincident slots must give back modepy's rule, moved to the reference triangle.
    generator = load_generator()
    text = TABLES.read_text()

    def table(name):
        body = re.search(rf"{name}\[\d+\] = \{{(.*?)\}};", text, re.S).group(1)
        return np.array([float(v) for v in body.replace("\n", " ").split(",") if v.strip()])

    for name, degree, count in generator.TRIANGLE_RULES:
        a, b, w = table(f"{name}_a"), table(f"{name}_b"), table(f"{name}_w")
        assert len(w) == count
        merged = {}
        for key, weight in zip(zip(a, b), w):
            merged[key] = merged.get(key, 0.0) + weight
        rule = modepy.XiaoGimbutasSimplexQuadrature(degree, 2)
        assert len(merged) == len(rule.weights)
        for x, y, weight in zip(rule.nodes[0], rule.nodes[1], rule.weights):
            key = min(merged, key=lambda k: abs(k[0] - (x + 1) / 2) + abs(k[1] - (y + 1) / 2))
            assert abs(key[0] - (x + 1) / 2) < 1e-16 and abs(key[1] - (y + 1) / 2) < 1e-16
            assert merged[key] == weight / 4
