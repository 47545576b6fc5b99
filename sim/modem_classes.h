// The fax classes' tables of operations, for classes.cpp to choose from.
#pragma once

#include "sim/sim_internal.h"

extern const ModemClassOps kClass1Ops;   // class1_modem.cpp
extern const ModemClassOps kClass2Ops;   // class2_modem.cpp
extern const ModemClassOps kClass20Ops;  // class2_modem.cpp
void Class2Reset(Modem &m);              // the class 2 and 2.0 settings
