// tallymere-cli: the program's command-line front end.
#include "cli/app.h"

int main(int argc, char** argv) { return cli::RunCommandLine(argc, argv); }
