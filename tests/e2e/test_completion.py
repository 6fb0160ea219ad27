"""Bash completion of ccdshot and ccdsim: the completion function is called in
bash with COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT set as bash sets
them for a command line typed up to its end, and COMPREPLY is compared."""
import os
import re
import shutil
import subprocess

import pytest

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"


def comp_words(line):
    """COMP_WORDS and COMP_CWORD for line: words end at blanks, and a run of
    "=" or ":" (bash's COMP_WORDBREAKS) is a word of its own."""
    words = re.findall(r"[^\s=:]+|[=:]+", line)
    if line[-1].isspace():
        words.append("")
    return words, len(words) - 1


def complete(tree, program, line):
    if shutil.which("bash") is None:
        pytest.skip("bash is absent")
    if not os.path.exists(BASH_COMPLETION):
        pytest.skip(f"{BASH_COMPLETION} is absent (package bash-completion)")
    words, cword = comp_words(line)
    script = (f'source {BASH_COMPLETION}; source "$1"; shift; COMP_LINE=$1; COMP_POINT=${{#1}}; '
              f'shift; COMP_CWORD=$1; shift; COMP_WORDS=("$@"); COMPREPLY=(); _{program}; '
              '[[ ${#COMPREPLY[@]} -eq 0 ]] || printf "%s\\n" "${COMPREPLY[@]}"')
    done = subprocess.run(["bash", "-c", script, "bash", str(tree.source / "completions" / program),
                           line, str(cword), *words], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return sorted(done.stdout.splitlines())


@pytest.fixture
def files(tmp_path):
    """A folder holding two device-like files, an output file and a folder."""
    for name in ("ccda", "ccdb", "out.fits"):
        (tmp_path / name).write_text("")
    (tmp_path / "mnt").mkdir()
    return tmp_path


def ccdshot_options(tree):
    """Every name of ccdshot's option table, with "=" for a value and both
    forms where the value is optional."""
    table = (tree.source / "src/options/options.cc").read_text()
    names = []
    for name, kind in re.findall(r'\{"(\w+)", (no|required|optional)_argument', table):
        names += {"no": [name], "required": [name + "="], "optional": [name, name + "="]}[kind]
    assert len(set(n.rstrip("=") for n in names)) == 21
    return names


def ccdsim_options(tree):
    usage = subprocess.run([str(tree.ccdsim), "--help"], capture_output=True, text=True,
                           check=True).stdout
    return re.findall(r"^  (--[a-z-]+=?)", usage, re.MULTILINE)


CCDSHOT = [
    ("ccdshot -b", ["-bin=", "-binning="]),
    ("ccdshot --no", ["--noaccumulation", "--noclear", "--nowipe"]),
    ("ccdshot -ti", ["-tiff", "-tiff="]),
    ("ccdshot -tiff=", ["deflate"]),
    ("ccdshot --TI=d", ["deflate"]),
    ("ccdshot -t=", []),  # -t is ambiguous: -tdi or -tiff
    ("ccdshot -camera={dir}/cc", ["{dir}/ccda", "{dir}/ccdb"]),
    ("ccdshot -fits -cam {dir}/cc", ["{dir}/ccda", "{dir}/ccdb"]),
    ("ccdshot 2 {dir}/o", ["{dir}/out.fits"]),
    ("ccdshot -bin 2 {dir}/o", []),  # 2 is the binning, then the exposure seconds
    ("ccdshot -autoexpose=60 {dir}/o", ["{dir}/out.fits"]),
    ("ccdshot -- -2 {dir}/o", ["{dir}/out.fits"]),  # after --, -2 is the exposure
]
CCDSIM = [
    ("ccdsim --fault-f", ["--fault-fail-header-read", "--fault-fail-query-read",
                          "--fault-fail-row="]),
    ("ccdsim --fault-stall", ["--fault-stall-row="]),
    ("ccdsim --pattern=", ["ramp", "sky"]),
    ("ccdsim --pat r", ["ramp"]),
    ("ccdsim --ready={dir}/o", ["{dir}/out.fits"]),
    ("ccdsim --log {dir}/o", ["{dir}/out.fits"]),
    ("ccdsim --catalog={dir}/o", ["{dir}/out.fits"]),
    ("ccdsim --width=5 {dir}/", ["{dir}/mnt"]),  # the mount point: directories only
    ("ccdsim --width {dir}/", []),  # the width's value
]


@pytest.mark.parametrize("line,expected", CCDSHOT + CCDSIM)
def test_completion(tree, files, line, expected):
    program = line.split()[0]
    got = complete(tree, program, line.format(dir=files))
    assert got == sorted(e.format(dir=files) for e in expected)


def test_every_option_is_offered(tree):
    assert complete(tree, "ccdshot", "ccdshot -") == sorted("-" + n for n in ccdshot_options(tree))
    assert complete(tree, "ccdshot", "ccdshot --") == sorted("--" + n for n in ccdshot_options(tree))
    assert complete(tree, "ccdsim", "ccdsim --") == sorted(ccdsim_options(tree))
