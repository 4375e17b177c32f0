#pragma once
// The byte array of the serial library, under the name the programs use.
#include "Serlib/Bytes.h"

using Serlib::Bytes;
