// Registers the drivers of the framework's built-in units.
#include "units/builtin.h"

void kov_builtin_units_register(KovUnitManager *manager) { (void)manager; }
