// The broker executable's managed-child role: what a runtime's JavaScript
// drives through standard input and output.
#pragma once

// argv[1] is "child", argv[2] the behaviour; returns the exit code.
int runManagedChild(int argc, wchar_t** argv);
