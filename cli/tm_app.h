// The `tonemap` command: read, tone-map, write. Returns the process exit status:
// 0 done, 1 the image could not be read, tone-mapped or written, 2 usage error or
// an image or output the tool refuses.
#pragma once

int TMTonemapMain(int argc, const char* const* argv);
