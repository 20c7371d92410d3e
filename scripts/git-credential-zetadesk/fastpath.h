// The program's fast path: git's `get` answered without starting CPython.
//
// It answers only when its stdout, stderr and exit status are certain to
// equal those of the module run by the interpreter, and leaves stdin exactly
// as the module would have left it.  Whenever it is unsure it returns false
// having consumed nothing and written nothing, and the program hands over to
// the interpreter as if the fast path did not exist.
#pragma once

namespace fastpath {

// true: the run is answered and the program ends with status 0.
bool answered(int argc, char **argv);

}  // namespace fastpath
