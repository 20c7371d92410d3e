// zetadesk_setup: the packaging script.  Importing it is one packaging run:
// version, build mode, compilation (compiled mode) and setuptools' setup().
#include "setup.h"

namespace zsetup {
namespace {

PyMethodDef functions[] = {
    {"_should_exclude_dir", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(should_exclude_dir)),
     METH_FASTCALL | METH_KEYWORDS, "_should_exclude_dir(str name: str) -> bool"},
    {"_should_exclude_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(should_exclude_file)),
     METH_FASTCALL | METH_KEYWORDS, "_should_exclude_file(str name: str) -> bool"},
    {"_should_keep_as_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(should_keep_as_py)),
     METH_FASTCALL | METH_KEYWORDS, "_should_keep_as_py(str rel_path: str) -> bool"},
    {"_get_cython_extensions", get_cython_extensions, METH_NOARGS,
     "_get_cython_extensions()\n"
     "\n"
     "Walk the source tree and create Cython extensions for all compilable .py files.\n"
     "\n"
     "Compiles each file individually. If a file fails Cython compilation,\n"
     "it is skipped and kept as .py source. This ensures one problematic file\n"
     "doesn't block the entire build."},
};

Ref str_set(std::initializer_list<const char *> members) {
    Ref s = Ref::steal(PySet_New(nullptr));
    for (const char *m : members)
        if (PySet_Add(s.get(), str(m).get()) < 0) fail();
    return s;
}

Ref str_list(std::initializer_list<const char *> items) {
    Ref l = list();
    for (const char *item : items) append(l.get(), str(item).get());
    return l;
}

void read_version() {
    // A missing, unreadable or undecodable file means "no version", not a failed build.
    Ref error = catch_ordinary([] {
        set_global("_toml_text"_id,
                   call_kw(attr(global("_toml_path"_id), "read_text"_id), {}, {{"encoding"_id, "utf-8"_id}}));
        Ref re = global("re"_id);
        set_global("_m"_id, call(attr(re, "search"_id), "^version\\s*=\\s*[\"\\']([^\"\\']+)[\"\\']"_id,
                                 global("_toml_text"_id), attr(re, "MULTILINE"_id)));
        Ref m = global("_m"_id);
        set_global("__version__"_id, truthy(m) ? call_method(m, "group"_id, integer(1)) : str("0.0.0"));
    });
    if (error) set_global("__version__"_id, "0.0.0"_id);
}

Ref long_description() {
    if (!truthy(call_method(call(global("Path"_id), "README.md"_id), "exists"_id))) return str("");
    Ref f = call_kw(global("open"_id), {"README.md"_id}, {{"encoding"_id, "utf-8"_id}});
    Ref content;
    Ref error = catch_ordinary([&] { content = call_method(f, "read"_id); });
    call_method(f, "close"_id);
    if (error) {
        PyErr_SetRaisedException(error.release());
        fail();
    }
    return content;
}

void body() {
    for (PyObject *name : {"fnmatch"_id, "os"_id, "re"_id, "shutil"_id, "sys"_id}) bind_import(name);
    bind_from("pathlib"_id, {"Path"_id});
    bind_from("setuptools"_id, {"Extension"_id, "find_packages"_id, "setup"_id});
    set_global("_build_py"_id, import_from("setuptools.command.build_py"_id, "build_py"_id)[0]);

    set_global("_toml_path"_id, Ref::steal(PyNumber_TrueDivide(
                                    attr(call(global("Path"_id), global("__file__"_id)), "parent"_id).get(),
                                    "pyproject.toml"_id)));
    read_version();

    Ref mode = call_method(attr(global("os"_id), "environ"_id), "get"_id, "ZETADESK_CYTHON_BUILD"_id, "0"_id);
    set_global("COMPILE_WITH_CYTHON"_id, Ref::steal(PyObject_RichCompare(mode.get(), "1"_id, Py_EQ)));

    set_global("KEEP_AS_PY"_id, str_set({"zetadesk_server.py", "run_server.py", "tray_manager.py"}));
    set_global("EXCLUDE_DIRS"_id,
               str_set({".git", "__pycache__", "build", "dist", "node_modules", ".venv", "venv",
                        "build_compiled", "logs", "data", "tests", "docs", "download", ".zetadesk",
                        "build_pyinstaller", "install"}));
    set_global("EXCLUDE_FILES"_id, str_set({"setup.py", "zetadesk_setup.py", "cython_build_wrapper.py",
                                            "test_modelscope_api.py", "test_tool_selection.py"}));
    set_global("KEEP_AS_PY_PATTERNS"_id, str_list({"*/scripts/*.py"}));
    set_global("_compiled_module_names"_id, Ref::steal(PySet_New(nullptr)));

    for (PyMethodDef &def : functions) set_global(intern(def.ml_name), function(&def));
    set_global("_zetadesk_build_py"_id, make_build_py_class(global("_build_py"_id).get()));

    const bool compiled = truthy(global("COMPILE_WITH_CYTHON"_id));
    set_global("ext_modules"_id, compiled ? call(global("_get_cython_extensions"_id)) : list());
    set_global("cmdclass"_id,
               truthy(global("COMPILE_WITH_CYTHON"_id))
                   ? dict({{"build_py"_id, global("_zetadesk_build_py"_id).get()}})
                   : dict({}));
    Ref exclude = str_list({"build", "dist", "*.egg-info", "tests", "docs", "build_compiled",
                            "build_pyinstaller", ".zetadesk", "install"});
    set_global("packages"_id, call_kw(global("find_packages"_id), {}, {{"exclude"_id, exclude.get()}}));
    set_global("_package_data"_id, dict({{"routes"_id, str_list({"*.txt"}).get()},
                                         {"scripts"_id, str_list({"*.py"}).get()}}));

    // Compiled package modules stay out of the package data as well.
    set_global("_exclude_pkg_data"_id, dict({}));
    if (truthy(global("COMPILE_WITH_CYTHON"_id))) {
        Ref it = Ref::steal(PyObject_GetIter(global("_compiled_module_names"_id).get()));
        while (PyObject *raw_name = PyIter_Next(it.get())) {
            set_global("mod_name"_id, Ref::adopt(raw_name));
            set_global("parts"_id, call_method(global("mod_name"_id), "split"_id, "."_id));
            Ref parts = global("parts"_id);
            if (PyObject_Length(parts.get()) < 0) fail();
            if (PyObject_Length(parts.get()) < 2) continue;
            set_global("pkg"_id, Ref::steal(PySequence_GetItem(parts.get(), 0)));
            set_global("filename"_id, Ref::steal(PyNumber_Add(
                                          Ref::steal(PySequence_GetItem(parts.get(), -1)).get(), ".py"_id)));
            Ref excluded = global("_exclude_pkg_data"_id);
            Ref pkg = global("pkg"_id);
            int known = PySequence_Contains(excluded.get(), pkg.get());
            if (known < 0) fail();
            if (!known) set_item(excluded.get(), pkg.get(), list().get());
            call_method(Ref::steal(PyObject_GetItem(excluded.get(), pkg.get())), "append"_id,
                        global("filename"_id));
        }
        if (PyErr_Occurred()) fail();
    }

    // Keyword values are gathered in this order, README.md after the version.
    Ref install_requires = str_list({
        "flask>=3.0.0", "flask-cors>=4.0.0", "tree-sitter>=0.24.0", "tree-sitter-python>=0.23.0",
        "tree-sitter-javascript>=0.23.0", "tree-sitter-typescript>=0.23.0", "tree-sitter-go>=0.23.0",
        "tree-sitter-rust>=0.23.0", "tree-sitter-c>=0.23.0", "python-docx>=1.0.0", "python-pptx>=1.0.0",
        "openpyxl>=3.1.0", "PyPDF2>=3.0.0", "reportlab>=4.0.0", "edge-tts>=6.1.0", "curl_cffi>=0.15.0",
    });
    Ref classifiers = str_list({
        "Development Status :: 4 - Beta",
        "Environment :: Web Environment",
        "Framework :: Flask",
        "Intended Audience :: Developers",
        "License :: OSI Approved :: Apache Software License",
        "Operating System :: OS Independent",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Topic :: Text Editors :: Integrated Development Environments (IDE)",
    });
    Ref setup = global("setup"_id);
    Ref version = global("__version__"_id);
    Ref long_desc = long_description();
    Ref packages = global("packages"_id);
    Ref py_modules = str_list({"zetadesk_server", "run_server", "tray_manager"});
    Ref ext_modules = global("ext_modules"_id);
    Ref cmdclass = global("cmdclass"_id);
    Ref entry_points = dict({{"console_scripts"_id,
                              str_list({"zetadesk=zetadesk_server:main", "zetadesk-server=run_server:main"}).get()}});
    Ref package_data = global("_package_data"_id);
    Ref exclude_package_data = global("_exclude_pkg_data"_id);
    call_kw(setup, {},
            {
                {"name"_id, "zetadesk"_id},
                {"version"_id, version.get()},
                {"description"_id, str("Lightweight Mobile Web IDE for Termux/Ubuntu - 轻量级移动端 Web IDE").get()},
                {"long_description"_id, long_desc.get()},
                {"long_description_content_type"_id, "text/markdown"_id},
                {"author"_id, "ZetaDesk Team"_id},
                {"python_requires"_id, ">=3.8"_id},
                {"packages"_id, packages.get()},
                {"py_modules"_id, py_modules.get()},
                {"ext_modules"_id, ext_modules.get()},
                {"cmdclass"_id, cmdclass.get()},
                {"install_requires"_id, install_requires.get()},
                {"entry_points"_id, entry_points.get()},
                {"package_data"_id, package_data.get()},
                {"exclude_package_data"_id, exclude_package_data.get()},
                {"classifiers"_id, classifiers.get()},
            });
}

}  // namespace
}  // namespace zsetup

const mf::ModuleInfo mf::this_module = {
    .short_name = "zetadesk_setup",
    .full_name = "zetadesk_setup",
    .source_path = "zetadesk_setup",
    .doc = "\n"
           "setup.py - ZetaDesk package configuration\n"
           "==========================================\n"
           "Supports two build modes:\n"
           "\n"
           "  1. Development mode (default):\n"
           "       pip install -e .\n"
           "     Installs pure Python source, no Cython required.\n"
           "\n"
           "  2. Cython compiled mode (for PyPI distribution):\n"
           "       ZETADESK_CYTHON_BUILD=1 python setup.py bdist_wheel\n"
           "     Compiles .py -> .so/.pyd to protect source code.\n"
           "     Only files in KEEP_AS_PY remain as .py.\n"
           "\n"
           "Cross-platform builds require cibuildwheel or per-platform build servers.\n",
    .body = zsetup::body,
};

PyMODINIT_FUNC PyInit_zetadesk_setup(void) { return PyModuleDef_Init(mf::definition()); }
