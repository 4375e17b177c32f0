#include "Kestrin.h"

#include <cstdio>

#include "KesCAM.h"

KesCAM* Kestrin::kescam() { return KesCAM::running(); }

Kestrin::Kestrin() = default;

Kestrin::~Kestrin() = default;

void Kestrin::init(const KesViewFactory& makeView) {
    controller_ = std::make_unique<KesCAM>(makeView);
}

void Kestrin::OutLine(const std::string& s) {
    // stdio rather than iostreams: one fwrite per line keeps lines whole
    // even if something else in the process prints too.
    const std::string line = s + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
