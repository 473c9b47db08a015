// The program's entry: command words or the service path.
#pragma once

#include "cli/timeout_argument.h"

int front_end(int argc, char **argv);
