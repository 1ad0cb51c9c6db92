#include "popen_cmd.h"
