#include "tile_tree.hpp"

void deleteTileNode(TileNode* node)
{
    if (!node)
    {
        return;
    }
    delete node->patch;
    for (TileNode* child : node->child)
    {
        deleteTileNode(child);
    }
    delete node;
}

TileTree::~TileTree()
{
    deleteTileNode(root);
}
