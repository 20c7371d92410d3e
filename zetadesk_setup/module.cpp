// zetadesk_setup: the packaging script.
#include "modframe.h"

namespace {

void body() {}

}  // namespace

const mf::ModuleInfo mf::this_module = {
    .short_name = "zetadesk_setup",
    .full_name = "zetadesk_setup",
    .source_path = "zetadesk_setup",
    .doc = "\nsetup.py - ZetaDesk package configuration\n",
    .body = body,
};

PyMODINIT_FUNC PyInit_zetadesk_setup(void) { return PyModuleDef_Init(mf::definition()); }
