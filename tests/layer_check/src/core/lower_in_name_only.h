#pragma once

#include "base/upward.h"
#include "lower_in_name_only.h"
