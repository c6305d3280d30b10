"""Writes tests/endpoint_cases.json as C++ initialisers for the Windows test
program, so that both platforms check the very same endpoint cases.

usage: embed_endpoint_cases.py CASES_JSON OUTPUT_INC"""
import json
import sys

FIELDS = ["endpoint", "protocol", "host", "port", "socket_path", "pipe_name"]  # EndpointArguments' order


def literal(text):
    # JSON's escapes (\\, \", \t, \uXXXX) are valid in a C++ string literal too.
    return json.dumps(text, ensure_ascii=True)


def arguments(case):
    given = case["arguments"]
    parts = []
    for field in FIELDS:
        if field in given:
            value = given[field]
            parts.append(f".{field} = {value if field == 'port' else literal(value)}")
    return "{" + ", ".join(parts) + "}"


def main(source, output):
    with open(source, encoding="utf-8") as file:
        cases = json.load(file)
    lines = ["// Generated from tests/endpoint_cases.json by embed_endpoint_cases.py.",
             "const ResolvedCase kResolvedCases[] = {"]
    for case in cases["resolved"]:
        lines.append(f"    {{{arguments(case)}, {literal(case['protocol'])}, {literal(case['endpoint'])}}},")
    lines += ["};", "const RefusedCase kRefusedCases[] = {"]
    for case in cases["refused"]:
        lines.append(f"    {{{arguments(case)}, {literal(case['message'])}}},")
    lines.append("};")
    with open(output, "w", encoding="utf-8") as file:
        file.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
