// The product library: root path, program files, file loading, protected secrets.
#pragma once
#include "core.h"
#include "qlframe.h"
