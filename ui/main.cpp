// ndi-lirafon: the audio line-up tone generator's program.
#include "lirafon_app.h"

int main(int argc, char** argv) {
    CNDILirafonApp app;
    return app.Run(argc, argv);
}
