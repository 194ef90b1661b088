#include "sensor_sim.h"
