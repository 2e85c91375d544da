#include "app/pairing_dialogs.h"

void makeCode() {}

void addComputer() {}

void setPassword() {}

void connectByAccessId() {}
