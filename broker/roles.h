// The roles of the broker executable, chosen by its first argument.
#pragma once

namespace nuvra::broker {

// "launch": starts one runtime of a product home; see launcher_role_win.cc.
int runLauncher(int argc, wchar_t** argv);

}  // namespace nuvra::broker
