"""Git routes of the host application (stand-in): the authentication refresh."""

import os
import re
import shutil
import subprocess
import sysconfig

from utils import SERVER_DIR, WORKSPACE, load_config

HELPER_NAME = "git-credential-zetadesk"


def _helper_path():
    """The credential helper program, found as an installed command would be.

    Installed from a wheel, ZetaDesk's modules live in an environment's
    site-packages and the program in that environment's scripts directory
    (a venv's bin/, ~/.local/bin, /usr/local/bin).  Run from a checkout, the
    program is the tree's bin/.  Otherwise the one in an absolute directory
    of PATH, if any: "." or an empty entry would name a program of the
    repository git runs in.
    """
    here = os.path.realpath(SERVER_DIR)
    schemes = [sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")]
    for scheme in schemes:
        paths = sysconfig.get_paths(scheme)
        if here in (os.path.realpath(paths["purelib"]), os.path.realpath(paths["platlib"])):
            installed = os.path.join(paths["scripts"], HELPER_NAME)
            if os.access(installed, os.X_OK):
                return installed
    tree = os.path.join(SERVER_DIR, "bin", HELPER_NAME)
    if os.access(tree, os.X_OK):
        return tree
    absolute = os.pathsep.join(d for d in os.environ.get("PATH", "").split(os.pathsep) if os.path.isabs(d))
    return shutil.which(HELPER_NAME, path=absolute) or tree


HELPER_PATH = _helper_path()

# Characters that mean nothing to the shell.
_PLAIN_PATH = re.compile(r"/[A-Za-z0-9_./+@%:,=-]*")


def _helper_value(path):
    """The credential.helper value under which git runs exactly `path`.

    git runs an absolute-path value through the shell with the action
    appended (sh -c "VALUE get"), and a value starting with "!" as a shell
    command.  A path of plain characters goes in as it is; any other is
    single-quoted after "!" (a quote inside as '\\''), so that no space,
    quote, ";", "$" or backslash of the path reaches the shell as syntax.
    """
    if not os.path.isabs(path):
        raise ValueError(f"credential helper path {path!r} is not absolute")
    if _PLAIN_PATH.fullmatch(path):
        return path
    return "!'" + path.replace("'", "'\\''") + "'"


def _project_repositories(workspace):
    """The workspace itself and its direct subdirectories that are git repositories."""
    candidates = [workspace]
    try:
        candidates += sorted(os.path.join(workspace, name) for name in os.listdir(workspace))
    except OSError:
        return []
    return [path for path in candidates if os.path.isdir(os.path.join(path, ".git"))]


def _git_config(repo, *args):
    return subprocess.run(["git", "-C", repo, "config", "--local", *args],
                          capture_output=True, text=True, timeout=10)


def _refresh_all_project_git_auth(token):
    """Point every project repository at the credential helper.

    The helper reads the token saved in the configuration file at each git
    call, so the repositories only need to name it; the token itself is never
    written into a repository.  Returns how many repositories were changed.
    """
    workspace = load_config().get("workspace", WORKSPACE)
    value = _helper_value(HELPER_PATH)
    changed = 0
    for repo in _project_repositories(workspace):
        current = _git_config(repo, "--null", "--get-all", "credential.helper").stdout.split("\0")
        if [entry for entry in current if entry] == [value]:
            continue
        _git_config(repo, "--unset-all", "credential.helper")
        result = _git_config(repo, "--add", "credential.helper", value)
        if result.returncode != 0:
            raise RuntimeError(f"git config failed in {repo}: {result.stderr.strip()}")
        changed += 1
    return changed
