#pragma once
#include "support/launch.hpp"
