#include "app/client.hpp"

int main(int argc, char** argv) {
    lld::ShutdownSignals signals;
    const auto client = lld::Client::start({argv, static_cast<std::size_t>(argc)}, signals);
    return client ? client->run() : lld::kStartupFailure;
}
