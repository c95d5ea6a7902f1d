// The file names of the product's programs that others start or find beside them, as this
// build names them (the controller QVLJOBCTL.EXE or qvljobctl, KILL.EXE or KILL): the build's
// own target names, compiled in, so that no list of them can disagree with what is built.
#pragma once

const char* ControllerFileName();
const char* KillFileName();
