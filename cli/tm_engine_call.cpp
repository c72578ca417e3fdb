#include "tm_engine_call.h"

int16_t TMRenderImage(const TMParameters& params, const TMHostImage& image, const TMProgressSink& progress,
                      TMRenderReport* report)
{
    return TMRunStages(params, image, TMHeapAllocator(), progress, report);
}
