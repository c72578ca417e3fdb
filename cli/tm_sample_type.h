// Sample types of images in memory and of output files.
#pragma once

enum class TMSampleType { Float32, UInt16, UInt8 };
