#pragma once

#include "core/lower_in_name_only.h"
#include "platform/fine.h"
