// Windows entry point: the service and its own installer in one executable.
#include "cli/front_end.h"

int main(int argc, char **argv) { return front_end(argc, argv); }
