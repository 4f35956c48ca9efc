#include "runtime/tunnelcommengine.h"

TunnelCommEngine::TunnelCommEngine(QObject *parent) : QObject(parent) {}

TunnelCommEngine::~TunnelCommEngine() {}
