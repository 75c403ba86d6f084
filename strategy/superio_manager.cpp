#include "strategy/superio_manager.h"

#include <utility>

SuperIOManager::~SuperIOManager()
{
    current.reset();
    for (auto& strategy : strategies)
        strategy.reset();
}

std::string SuperIOManager::vendor() const
{
    return current ? current->name() : std::string("Unknown");
}

std::string SuperIOManager::model() const
{
    return current ? current->model() : std::string("Unknown");
}

void SuperIOManager::setDconCommands(QString start, QString stop, QString feed, QString set)
{
    if (current)
        current->setDconCommands(std::move(start), std::move(stop), std::move(feed), std::move(set));
}
