#!/usr/bin/env python3
"""Reads a Prometheus text exposition (format 0.0.4) on standard input with the
prometheus_client parser, checks what that parser lets pass (HELP and TYPE before each
family's samples, one sample per series, histograms cumulative up to +Inf = _count), and
prints the samples as one JSON object {"name{a=\"x\",b=\"y\"}": value}, labels sorted and
unescaped. Exits non-zero, saying why, on any fault."""
import json
import math
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*$")
TYPES = {"counter", "gauge", "histogram", "summary", "untyped"}


def fail(why):
    sys.exit("read_metrics: " + why)


def key(name, labels):
    inner = ",".join('%s="%s"' % (k, v) for k, v in sorted(labels.items()))
    return name + ("{%s}" % inner if labels else "")


text = sys.stdin.read()
if not text.endswith("\n"):
    fail("the text does not end with a line end")
described = {}
for line in text.splitlines():
    if line.startswith("#"):
        words = line.split(" ", 3)
        if len(words) < 4 or words[1] not in ("HELP", "TYPE") or not NAME.match(words[2]):
            fail("malformed comment: " + line)
        if words[1] == "TYPE" and words[3] not in TYPES:
            fail("unknown type: " + line)
        described.setdefault(words[2], set()).add(words[1])
    elif line:
        name = re.match(r"[^{ ]*", line).group(0)
        family = re.sub(r"_(bucket|sum|count)$", "", name)
        if {"HELP", "TYPE"} not in (described.get(name), described.get(family)):
            fail(name + " comes before its HELP and TYPE")

samples = {}
try:
    families = list(text_string_to_metric_families(text))
except ValueError as e:
    fail("the parser refused it: %s" % e)
for family in families:
    buckets = {}
    for s in family.samples:
        k = key(s.name, s.labels)
        if k in samples:
            fail("two samples of " + k)
        if family.type == "counter" and (s.value < 0 or not s.name.endswith("_total")):
            fail("a counter must end in _total and not be negative: " + k)
        samples[k] = s.value
        if s.name.endswith("_bucket"):
            series = key(s.name, {n: v for n, v in s.labels.items() if n != "le"})
            buckets.setdefault(series, []).append((float(s.labels["le"]), s.value))
    for series, counts in buckets.items():
        bounds, values = [c[0] for c in counts], [c[1] for c in counts]
        if bounds != sorted(set(bounds)) or values != sorted(values) or not math.isinf(bounds[-1]):
            fail(series + " is not cumulative up to +Inf")
        count = series.replace("_bucket", "_count", 1)
        if samples.get(count) != counts[-1][1]:
            fail(count + " is not the +Inf bucket")
print(json.dumps(samples))
