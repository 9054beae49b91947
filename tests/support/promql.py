# The alerts that docs/administration.md documents, evaluated over a metrics file as Prometheus
# evaluates them: the file read by the Prometheus client's own text parser, the rules by a YAML
# parser, and each expression by a small evaluator of the PromQL they use: metric names, numbers,
# time(), + - * / and comparisons that keep the series where they hold.
import operator
import re
import yaml
from prometheus_client.parser import text_string_to_metric_families

OPERATORS = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv,
             "==": operator.eq, "!=": operator.ne, ">=": operator.ge, "<=": operator.le,
             ">": operator.gt, "<": operator.lt}
LEVELS = [("==", "!=", ">=", "<=", ">", "<"), ("+", "-"), ("*", "/")]
TOKEN = re.compile(r"\s*(\d+(?:\.\d+)?|[A-Za-z_:][A-Za-z0-9_:]*(?:\(\))?|[=!<>]=|[-+*/<>])")


def documented_alerts(markdown):
    # Every alert of the document's yaml blocks, by name: its expression.
    blocks = re.findall(r"^```yaml\n(.*?)^```$", markdown, re.S | re.M)
    return {rule["alert"]: rule["expr"] for block in blocks
            for group in yaml.safe_load(block)["groups"] for rule in group["rules"]}


def evaluate(expression, samples, now):
    # A number, or the list of the values of the series the expression gives.
    tokens = TOKEN.findall(expression)
    assert "".join(tokens) == re.sub(r"\s", "", expression), f"cannot read {expression!r}"
    tokens.append("end")

    def atom():
        token = tokens.pop(0)
        if token == "time()":
            return now
        if token[0].isdigit():
            return float(token)
        return [samples[token]] if token in samples else []

    def apply(op, left, right):
        function = OPERATORS[op]
        if not isinstance(left, list) and not isinstance(right, list):
            return function(left, right)
        vector, flip = (left, False) if isinstance(left, list) else (right, True)
        other = right if not flip else left
        assert not isinstance(other, list), f"{expression!r}: two series"
        results = [function(other, v) if flip else function(v, other) for v in vector]
        if op in LEVELS[0]:
            return [v for v, holds in zip(vector, results) if holds]
        return results

    def level(depth):
        if depth == len(LEVELS):
            return atom()
        value = level(depth + 1)
        while tokens[0] in LEVELS[depth]:
            op = tokens.pop(0)
            value = apply(op, value, level(depth + 1))
        return value

    value = level(0)
    assert tokens == ["end"], f"cannot read {expression!r}"
    return value


def firing(alerts, metrics_text, now):
    # The names of the alerts whose expression gives a series at `now`, sorted.
    samples = {sample.name: sample.value for family in text_string_to_metric_families(metrics_text)
               for sample in family.samples}
    values = {name: evaluate(expression, samples, now) for name, expression in alerts.items()}
    return sorted(name for name, value in values.items() if isinstance(value, list) and value)


if __name__ == "__main__":
    # promql.py METRICS_FILE DOCUMENT NOW: every family a documented gauge, then the alerts that
    # fire a minute and 27 hours after NOW, a comma list each, the two joined by "|".
    import sys
    sys.dont_write_bytecode = True
    text = open(sys.argv[1]).read()
    families = list(text_string_to_metric_families(text))
    assert all(family.type == "gauge" and family.documentation for family in families), families
    rules = documented_alerts(open(sys.argv[2]).read())
    print(*(",".join(firing(rules, text, float(sys.argv[3]) + after)) for after in (60, 27 * 3600)),
          sep="|")
