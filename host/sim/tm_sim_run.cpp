#include "tm_sim_run.h"

namespace tmsim {

Options ReplayOptions(const TMParameters& params)
{
    Options options;
    options.delivery = Delivery::Direct;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&params);
    options.parameters.assign(bytes, bytes + sizeof params);
    options.recordDescriptor = true;
    options.playInfo = TMDialogDontDisplay;
    return options;
}

Options InteractiveOptions(intptr_t mainWindow, DisplayProc display)
{
    Options options;
    options.delivery = Delivery::Direct;
    options.mainWindow = mainWindow;
    options.displayPixels = display;
    return options;
}

Outcome RunWithSettings(EntryPoint entry, const Document& doc, const TMParameters& params,
                        const std::function<void(int32_t, int32_t)>& progress, const std::atomic<bool>* cancel)
{
    Options options = ReplayOptions(params);
    options.abortFlag = cancel;
    options.onProgress = progress;
    Host host(entry, doc, options);
    Outcome outcome;
    outcome.result = host.run(true).result;
    if (outcome.result != TMNoErr)
        outcome.failure = FailureText(host);
    return outcome;
}

std::string FailureText(const Host& host)
{
    const unsigned char* text = host.errorString();
    return std::string(reinterpret_cast<const char*>(text + 1), text[0]);
}

} // namespace tmsim
