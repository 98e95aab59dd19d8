#include "viewer/TreeItem.h"

CTreeItem::~CTreeItem() = default;
