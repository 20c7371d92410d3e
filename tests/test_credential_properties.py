"""Property-based differential tests of the credential helper: its input
parser and its host rule against plain Python written from the protocol."""

import io
import json
import re
import sys

from hypothesis import given, strategies as st

import scripts.git_credential_zetadesk as helper
from conftest import property_settings


ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def parse_reference(text):
    data = {}
    for line in io.StringIO(text):
        line = line.rstrip("\n")
        if not line:
            break
        if "=" not in line:
            continue
        key, _, value = line.partition("=")
        data[key.strip()] = value
    return data


def answers_reference(host):
    name = host.strip()
    name = re.sub(r":[0-9]+\Z", "", name, flags=re.ASCII)
    if not re.fullmatch(r"[A-Za-z0-9.-]+", name, flags=re.ASCII):
        return False
    name = name.translate(ASCII_LOWER)  # ASCII letters only: no Unicode case folding
    return name == "github.com" or name.endswith(".github.com")


def run_helper(function, stdin_text):
    saved = sys.stdin, sys.stdout
    sys.stdin, sys.stdout = io.StringIO(stdin_text), io.StringIO()
    try:
        result = function()
        return result, sys.stdout.getvalue()
    finally:
        sys.stdin, sys.stdout = saved


line_chars = st.text(st.characters(blacklist_characters="\n", blacklist_categories=("Cs",)), max_size=12)
lines = st.lists(st.one_of(
    line_chars,
    st.builds(lambda k, v: f"{k}={v}", line_chars, line_chars),
    st.sampled_from(["", " ", "\r", "host=github.com", " host = x", "a==b", "=v", "k="]),
), max_size=8)


@property_settings(300)
@given(lines=lines, final_newline=st.booleans())
def test_parser_matches_the_protocol(lines, final_newline):
    text = "\n".join(lines) + ("\n" if final_newline else "")
    parsed, printed = run_helper(helper._parse_input, text)
    assert parsed == parse_reference(text)
    assert printed == ""


labels = st.text(st.sampled_from("abgGhHiItTuUbB.-0123456789:é \t\x0b\xa0\u3000\u212a_@%/"), max_size=6)
hosts = st.one_of(
    st.builds(lambda a, b, c: a + b + c, labels, st.sampled_from(["github.com", "GitHub.COM", "gist.github.com",
                                                                    "github.com.", "evilgithub.com"]), labels),
    st.builds(lambda p: f"github.com:{p}", st.text(st.sampled_from("0123456789a"), max_size=5)),
    labels,
)


@property_settings(300)
@given(host=hosts)
def test_host_rule_matches_the_reference(tmp_path_factory, host):
    config = tmp_path_factory.mktemp("cfg") / "config.json"
    config.write_text(json.dumps({"github_token": "tok"}), encoding="utf-8")
    saved = helper.CONFIG_PATH
    helper.CONFIG_PATH = str(config)
    try:
        _, printed = run_helper(helper.cmd_get, f"protocol=https\nhost={host}\n\n")
    finally:
        helper.CONFIG_PATH = saved
    expected = "username=x-access-token\npassword=tok\n\n" if answers_reference(host) else ""
    assert printed == expected, host
