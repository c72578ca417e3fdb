// tonemap INPUT OUTPUT [options]: the tone-mapping filter on image files.
#include "tm_app.h"

int main(int argc, char** argv) { return TMTonemapMain(argc, argv); }
