#pragma once

// True in the run where GetFileInformationByHandleEx is missing.
bool RunningWithoutInfoEx();
