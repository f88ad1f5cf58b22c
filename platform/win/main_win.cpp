#include "app/run.h"

int main(int argc, char** argv) { return DmcheckMain(argc, argv); }
