#include "stats_window.h"
