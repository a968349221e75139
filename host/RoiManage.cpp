// CRoiManage: the regions of interest a module declares (none for most).
#include "algo/Algo.h"

CRoiManage::CRoiManage() = default;
CRoiManage::~CRoiManage() = default;
