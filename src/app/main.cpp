#include "app/client.hpp"

int main(int argc, char** argv) {
    return lld::lld_main(argc, argv);
}
