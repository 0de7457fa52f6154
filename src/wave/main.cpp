#include "run_state.h"

int main(int argc, char** argv) {
    return kelvor_main(argc, argv);
}
