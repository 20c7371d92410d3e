"""Git routes of the host application (stand-in): the authentication refresh."""

import os
import subprocess

from utils import SERVER_DIR, WORKSPACE, load_config

HELPER_PATH = os.path.join(SERVER_DIR, "bin", "git-credential-zetadesk")


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
    changed = 0
    for repo in _project_repositories(workspace):
        current = _git_config(repo, "--get-all", "credential.helper").stdout.split("\n")
        if [line for line in current if line] == [HELPER_PATH]:
            continue
        _git_config(repo, "--unset-all", "credential.helper")
        result = _git_config(repo, "--add", "credential.helper", HELPER_PATH)
        if result.returncode != 0:
            raise RuntimeError(f"git config failed in {repo}: {result.stderr.strip()}")
        changed += 1
    return changed
