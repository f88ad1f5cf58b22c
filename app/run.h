// The program's entry: one run, from the command line to the exit code.
#pragma once

// main calls it on Windows; the simulated machine's launcher elsewhere.
int DmcheckMain(int argc, char** argv);
