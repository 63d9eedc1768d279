// Builds a signed image for the simulated SEP from a data file (test use only).
//   sepsim_signimage [-k key] [-t type] [-o] [-g gap] data-file image-file
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "SepSimImage.h"

int main(int argc, char** argv) {
    sepsim::ImageSpec spec;
    int option;
    while ((option = getopt(argc, argv, "k:t:og:")) != -1) {
        switch (option) {
        case 'k': spec.keyIndex = std::stoi(optarg); break;
        case 't': spec.imageType = uint32_t(std::stoul(optarg)); break;
        case 'o': spec.osHeader = true; break;
        case 'g': spec.gap = uint32_t(std::stoul(optarg)); break;
        default:
            std::cerr << "usage: sepsim_signimage [-k key] [-t type] [-o] [-g gap] data-file image-file\n";
            return 2;
        }
    }
    if (argc - optind != 2) {
        std::cerr << "usage: sepsim_signimage [-k key] [-t type] [-o] [-g gap] data-file image-file\n";
        return 2;
    }
    std::ifstream in(argv[optind], std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << argv[optind] << "\n";
        return 1;
    }
    spec.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    try {
        std::vector<uint8_t> image = sepsim::BuildImage(spec);
        std::ofstream out(argv[optind + 1], std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        if (!out) throw std::runtime_error(std::string("cannot write ") + argv[optind + 1]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
