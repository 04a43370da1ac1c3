#include "EmulatedFtdi.h"
#include "UnitConsole.h"

namespace {

// Forwards to the emulated channel; the unit gets its turn to print before each read.
class ConsoleChannel : public EmulatedFtdi
{
public:
    ConsoleChannel(std::shared_ptr<UnitConsole> console, std::shared_ptr<EmulatedUnit> unit)
        : EmulatedFtdi(std::move(unit)), m_console(std::move(console))
    {
    }
    int readData(unsigned char *data, int size) override
    {
        m_console->pump();
        return EmulatedFtdi::readData(data, size);
    }

private:
    std::shared_ptr<UnitConsole> m_console;
};

} // namespace

FtdiTransportFactory consoleFtdiFactory(std::shared_ptr<UnitConsole> console)
{
    return [console]() -> std::unique_ptr<FtdiTransport> {
        EmulatedUnit &unit = console->unit();
        // The channel shares the unit with the console; the aliasing pointer keeps both alive together.
        return std::make_unique<ConsoleChannel>(console, std::shared_ptr<EmulatedUnit>(console, &unit));
    };
}
