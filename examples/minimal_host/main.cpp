// minimal_host: the smallest complete host of libudptrans.so, built from the
// installed tree alone. It loads the module, publishes the two components the
// module asks on every frame, starts it with a working folder, hands it three
// frames, reads each frame's status back, stops it and unloads it.
//
//   minimal_host <path to libudptrans.so> <working folder> [Key=value ...]
//
// Key=value arguments make a new store file in the folder before the start
// (keys it lacks take the shipped defaults), so they are in force from the
// first datagram on. Exit status 0 when every frame was sent.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "algo/AbstractUserModule.h"
#include "algo/AppComponents.h"
#include "algo/ComObjectPool.h"
#include "algo/CommProxy.h"
#include "algo/FrameData.h"
#include "udptrans/udptrans_host.h"

// Free-running acquisition of real images: no trigger, no test image. The
// module's tasks call these too, so they answer from any thread.
class TriggerSource : public zerran_app::ITriggerSource {
public:
    int GetStringParam(const std::string& name, std::string& value) override {
        value = "0";
        return name == UDPTRANS_TRIGGER_IMAGE_TIME ? 0 : -1;
    }
    int GetIntParam(const std::string& name, int& value) override {
        value = 0;
        return name == UDPTRANS_TRIGGER_MODE || name == UDPTRANS_TRIGGER_COUNT ? 0 : -1;
    }
};

class ImageProcess : public zerran_app::IImageProcess {
public:
    int GetIntParam(const std::string& name, int& value) override {
        value = 0;
        return name == UDPTRANS_IMAGE_TEST_IMAGE ? 0 : -1;
    }
};

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <libudptrans.so> <working folder> [Key=value ...]\n",
                     argv[0]);
        return 64;
    }
    const std::string folder = argv[2];
    if (argc > 3) {  // keys the store file lacks take the shipped defaults
        std::filesystem::create_directories(folder);
        std::ofstream store(folder + "/" UDPTRANS_STORE_FILE);
        for (int i = 3; i < argc; ++i) {
            store << argv[i] << '\n';
        }
    }

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "minimal_host: %s\n", dlerror());
        return 1;
    }
    auto create = reinterpret_cast<CreateModuleFn>(dlsym(library, UDPTRANS_SYMBOL_CREATE));
    auto destroy = reinterpret_cast<DestroyModuleFn>(dlsym(library, UDPTRANS_SYMBOL_DESTROY));
    // Without both components every frame is refused with UDPTRANS_E_NO_DATA.
    auto& pool = Infra::Component::CComObjectPool::getInstance();
    if (create == nullptr || destroy == nullptr ||
        pool.registerComponent(UDPTRANS_COMPONENT_TRIGGER_SOURCE,
                               std::make_shared<TriggerSource>()) != 0 ||
        pool.registerComponent(UDPTRANS_COMPONENT_IMAGE_PROCESS,
                               std::make_shared<ImageProcess>()) != 0) {
        std::fprintf(stderr, "minimal_host: no factory, or components not published\n");
        return 1;
    }

    CAbstractUserModule* module = create();
    module->SetModuleId(1);  // before SetPwd: the start already logs under it
    int result = module->SetPwd(folder.c_str());
    std::printf("SetPwd(%s): 0x%08X\n", folder.c_str(), static_cast<unsigned>(result));

    char port[16] = "";
    int length = 0;
    module->GetParam(UDPTRANS_PARAM_HOST_PORT, port, sizeof(port), &length);
    std::printf("results leave from port %s\n", port);

    int sent = 0;
    for (int frame = 1; result == UDPTRANS_OK && frame <= 3; ++frame) {
        QF_FRAME_INPUT input;
        auto counters = std::make_shared<QF_FRAME_DATA>();
        counters->mapInt[UDPTRANS_FRAME_COUNT] = frame;
        counters->mapInt[UDPTRANS_FRAME_TRIGGER_COUNT] = 0;
        input.vecFrame.push_back(counters);  // record UDPTRANS_FRAME_RECORD_ID
        const std::string text = "result " + std::to_string(frame);
        auto block = std::make_shared<QF_FRAME_DATA>();
        block->mapBuffer[UDPTRANS_FRAME_RESULT] =
            std::make_shared<Infra::CBaseBuffer>(text.data(), static_cast<uint32_t>(text.size()));
        input.mapInput[UDPTRANS_FRAME_RESULT] = block;
        QF_FRAME_OUTPUT output{std::make_shared<QF_FRAME_DATA>()};

        const int processed = module->Process(&input, &output);
        const auto written = output.pOutput->mapInt.find(UDPTRANS_FRAME_STATUS);
        const int status = written == output.pOutput->mapInt.end() ? -1 : written->second;
        std::printf("frame %d \"%s\": Process 0x%08X, status %d\n", frame, text.c_str(),
                    static_cast<unsigned>(processed), status);
        sent += processed == UDPTRANS_OK && status == UDPTRANS_STATUS_SENT;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the frame rate
    }

    // The module's task sends what is queued within milliseconds; give it
    // that time, then stop. DestroyModule joins the module's tasks.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    destroy(nullptr, module);
    pool.unregisterComponent(UDPTRANS_COMPONENT_TRIGGER_SOURCE);
    pool.unregisterComponent(UDPTRANS_COMPONENT_IMAGE_PROCESS);
    // Commands that arrived hold reply callbacks into the module's code: the
    // proxy must be done with them before that code goes away.
    if (CCommProxy::getInstance().WaitIdle(5000)) {
        dlclose(library);
    }
    std::printf("%d of 3 frames sent\n", sent);
    return sent == 3 ? 0 : 1;
}
