// scripts.git_credential_zetadesk: the git credential helper module.
#include "modframe.h"

namespace {

void body() {}

}  // namespace

const mf::ModuleInfo mf::this_module = {
    .short_name = "git_credential_zetadesk",
    .full_name = "scripts.git_credential_zetadesk",
    .source_path = "scripts/git-credential-zetadesk",
    .doc = "ZetaDesk git credential helper.\n",
    .body = body,
};

PyMODINIT_FUNC PyInit_git_credential_zetadesk(void) { return PyModuleDef_Init(mf::definition()); }
