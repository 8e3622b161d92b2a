// fake-cloud: the local fake cloud service as a program, for trying the plug-ins by hand.
// Prints where it listens, logs what it receives, and runs until SIGINT or SIGTERM.
#include "fake_cloud.h"
#include "recog_script.h"
#include "synth_script.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

void usage()
{
    std::printf("usage: fake-cloud [--port N] [--ws-port N] [--token TEXT] [delays] [service answers]\n"
                "  --port N      identity endpoint on 127.0.0.1:N (default: an ephemeral port)\n"
                "  --ws-port N   WebSocket service on 127.0.0.1:N (default: --port + 1 when --port is\n"
                "                given, else an ephemeral port)\n"
                "  --token TEXT  answer every token request with this token\n"
                "  --recognize TEXT      answer recognition connections (paths ending in sentence-stream or\n"
                "                        continue-stream): voice start, then TEXT as the result\n"
                "  --recognize-bytes N   audio bytes to receive before the result (default 8000)\n"
                "  --synthesize N        answer synthesis connections (every other path): N bytes of\n"
                "                        audio after the START command, then END \"NORMAL\"\n"
                "  --audio-speed X       the synthesis audio at X times real time (1: real time; default:\n"
                "                        all at once)\n"
                "  --token-delay-ms MS      each token answer leaves MS later\n"
                "  --handshake-delay-ms MS  each WebSocket handshake is answered MS later\n"
                "  --message-delay-ms MS    each WebSocket message, in each direction, arrives MS later\n"
                "  --jitter-ms MS           each delay above gets a random 0..MS more\n");
}

}  // namespace

int main(int argc, char** argv)
{
    long port = 0;
    long ws_port = -1;
    std::string token;
    bool recognize = false;
    std::string recognize_text;
    unsigned long recognize_bytes = 8000;
    unsigned long synthesize_bytes = 0;
    double audio_speed = 0;
    fakecloud::network_delay delay;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--ws-port") && i + 1 < argc) {
            char* end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 65535) {
                std::fprintf(stderr, "fake-cloud: bad port %s\n", argv[i]);
                return 2;
            }
            (arg == "--port" ? port : ws_port) = value;
        } else if (arg == "--token" && i + 1 < argc) {
            token = argv[++i];
        } else if (arg == "--recognize" && i + 1 < argc) {
            recognize = true;
            recognize_text = argv[++i];
        } else if (arg == "--recognize-bytes" && i + 1 < argc) {
            char* end = nullptr;
            recognize_bytes = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || recognize_bytes == 0) {
                std::fprintf(stderr, "fake-cloud: bad byte count %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--synthesize" && i + 1 < argc) {
            char* end = nullptr;
            synthesize_bytes = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || synthesize_bytes == 0) {
                std::fprintf(stderr, "fake-cloud: bad byte count %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--audio-speed" && i + 1 < argc) {
            char* end = nullptr;
            audio_speed = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(audio_speed > 0 && audio_speed <= 1000)) {
                std::fprintf(stderr, "fake-cloud: bad speed %s\n", argv[i]);
                return 2;
            }
        } else if ((arg == "--token-delay-ms" || arg == "--handshake-delay-ms" || arg == "--message-delay-ms" ||
                    arg == "--jitter-ms") &&
                   i + 1 < argc) {
            char* end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 600000) {
                std::fprintf(stderr, "fake-cloud: bad delay %s\n", argv[i]);
                return 2;
            }
            int ms = static_cast<int>(value);
            if (arg == "--token-delay-ms")
                delay.token_ms = ms;
            else if (arg == "--handshake-delay-ms")
                delay.handshake_ms = ms;
            else if (arg == "--message-delay-ms")
                delay.message_ms = ms;
            else
                delay.jitter_ms = ms;
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }

    // A shell starts background jobs with SIGINT ignored, and an ignored signal is discarded
    // before sigwait could see it: take the default back, then block the stop signals before any
    // thread starts, so that only sigwait below sees them.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        if (ws_port < 0)
            ws_port = port > 0 && port < 65535 ? port + 1 : 0;
        fakecloud::fake_cloud cloud(static_cast<unsigned short>(port), static_cast<unsigned short>(ws_port));
        cloud.set_network_delay(delay);
        if (!token.empty()) {
            fakecloud::token_reply reply;
            reply.token = token;
            cloud.set_token_reply(reply);
        }
        fakecloud::behaviour_factory synthesis;
        if (synthesize_bytes) {
            fakecloud::synth_script script;
            script.audio = fakecloud::synth_audio_pattern(synthesize_bytes, 1);
            script.speed = audio_speed;
            synthesis = fakecloud::synth_factory(script);
        }
        if (recognize)
            cloud.set_behaviour_factory(
                fakecloud::recog_service_factory(recognize_text, recognize_bytes, synthesis));
        else if (synthesis)
            cloud.set_behaviour_factory(synthesis);
        cloud.set_logger([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        std::printf("fake-cloud listening on 127.0.0.1:%u (token) and 127.0.0.1:%u (wss)\n", cloud.token_port(),
                    cloud.ws_port());
        std::printf("token url: %s\n", cloud.token_url().c_str());
        std::printf("wss url:   %s\n", cloud.ws_url("/").c_str());
        std::fflush(stdout);

        int sig = 0;
        sigwait(&stop_signals, &sig);
        std::printf("fake-cloud stopping (%s)\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stdout);
        cloud.set_logger(nullptr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fake-cloud: %s\n", e.what());
        return 1;
    }
    return 0;
}
