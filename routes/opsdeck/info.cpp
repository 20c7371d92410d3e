// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site system_info_site{"system_info", __LINE__};
mf::Site platform_info_site{"platform_info", __LINE__};
}  // namespace

PyObject *system_info(PyObject *, PyObject *) {
    return mf::boundary(system_info_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "system_info is not built yet");
    });
}

PyObject *platform_info(PyObject *, PyObject *) {
    return mf::boundary(platform_info_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "platform_info is not built yet");
    });
}

}  // namespace opsdeck
