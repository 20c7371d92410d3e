// What the helper says on stderr when HOME is not an absolute path, in the
// module and the program's fast path alike.
#pragma once

inline constexpr char no_home_message[] =
    "git-credential-zetadesk: HOME is not an absolute path; no configuration read";
