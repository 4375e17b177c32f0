#include "client/Kestrin.h"

#include <cstdio>

#include "common/Console.h"
#include "client/KesCAM.h"

KesCAM* Kestrin::kescam() { return KesCAM::running(); }

Kestrin::Kestrin() = default;

Kestrin::~Kestrin() = default;

void Kestrin::init(const KesViewFactory& makeView) {
    controller_ = std::make_unique<KesCAM>(makeView);
}

void Kestrin::OutLine(const std::string& s) { WriteConsoleLine(s); }
