// stowline: the desktop window.
#include "ui/qt/StartUp.h"

int main(int argc, char** argv) { return stow::ui::qt::RunWindowProgram(argc, argv); }
