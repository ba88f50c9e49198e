#include "quorvexremoteiofirmwareupdater.h"
