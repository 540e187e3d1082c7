#!/usr/bin/env python3
"""Reads a Prometheus text exposition on standard input with the prometheus_client parser,
checks what that parser lets pass (HELP and TYPE before each family's samples, one
sample per series, counters named _total, histograms cumulative up to +Inf = _count),
and prints the samples as one JSON object {"name{a=\"x\"}": value}, labels sorted and
unescaped. Exits non-zero, saying why, on any fault."""
import json
import re
import sys

from prometheus_client.parser import text_string_to_metric_families


def fail(why):
    sys.exit("read_metrics: " + why)


def key(name, labels):
    inner = ",".join('%s="%s"' % item for item in sorted(labels.items()))
    return name + ("{%s}" % inner if labels else "")


text = sys.stdin.read()
described = {}
for line in text.splitlines():
    words = line.split(" ", 3)
    if line.startswith("#"):
        if len(words) < 4 or words[1] not in ("HELP", "TYPE") or not re.match(r"[a-z_]+$", words[2]):
            fail("malformed comment: " + line)
        described.setdefault(words[2], set()).add(words[1])
    elif {"HELP", "TYPE"} not in [described.get(n) for n in (words[0].split("{")[0],
                                  re.sub(r"_(bucket|sum|count)(\{.*)?$", "", words[0]))]:
        fail(line + " comes before its HELP and TYPE")
samples = {}
try:
    families = list(text_string_to_metric_families(text))
except ValueError as e:
    fail("the parser refused it: %s" % e)
for family in families:
    buckets = {}
    for s in family.samples:
        k = key(s.name, s.labels)
        if k in samples or (family.type == "counter" and not s.name.endswith("_total")):
            fail("a second sample, or a counter not named _total: " + k)
        samples[k] = s.value
        if s.name.endswith("_bucket"):
            count = key(s.name[:-7] + "_count", {n: v for n, v in s.labels.items() if n != "le"})
            buckets.setdefault(count, []).append((float(s.labels["le"]), s.value))
    for count, pairs in buckets.items():
        bounds, values = zip(*pairs)
        if list(bounds) != sorted(set(bounds)) or list(values) != sorted(values) or \
                bounds[-1] != float("inf") or samples.get(count) != values[-1]:
            fail(count + " is not the +Inf bucket of cumulative buckets")
print(json.dumps(samples))
