// The device table: adding, changing and deleting devices, what each refuses, and the
// connections that follow a device's address.
#include <QString>
#include <functional>

#include "CoreFixture.h"
#include "comms/Mymessages.h"

namespace {

class DeviceTableTest : public CoreFixture {
protected:
    DeviceTableTest() : CoreFixture(35) {}

    int Sim(int host) { return QuietSim(host, "3500"); }

    std::size_t CountEvents(std::uint32_t id) const { return EventsWithId(id).size(); }
};

TEST_F(DeviceTableTest, DeletedDeviceIsForgottenAndItsOldThreadsMessagesAreIgnored) {
    const int sim = Sim(60);
    StartQuiet();
    const int oldId = Add("Monitor Wedge", Address(60), true);
    Add("Sub", Address(61), false);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));

    core_->DeleteDevice(0);
    EXPECT_EQ(core_->DeviceCount(), 1);
    EXPECT_EQ(Cell(0, ColName), "Sub");
    EXPECT_TRUE(SimWait(sim, [](const auto& s) { return !s.connected; }));
    Pump(100);

    const std::size_t events = sink_.Events().size();
    const int queries = Site().Snapshot(sim).statusQueries;
    for (std::uint16_t code : {EvConnected, EvLost, EvError, EvReceived, EvEnded}) {
        core_->Dispatch(WM_TCPTHREAD, TcpThreadWParam(static_cast<std::uint16_t>(oldId), code), 0);
    }
    EXPECT_EQ(core_->DeviceCount(), 1);
    EXPECT_TRUE(Shows(0, "Disconnected", "Unknown"));
    EXPECT_EQ(sink_.Events().size(), events);
    Pump(100);
    EXPECT_EQ(Site().Snapshot(sim).statusQueries, queries);
    EXPECT_EQ(Site().Snapshot(sim).connections, 1);

    // Registered again under the same name and address: a new identifier, and the old
    // thread's late reports still do not reach it.
    const int newId = Add("Monitor Wedge", Address(60), true);
    EXPECT_NE(newId, oldId);
    ASSERT_TRUE(WaitUntil([&] { return Shows(1, "Connected", "OK"); }));
    core_->Dispatch(WM_TCPTHREAD, TcpThreadWParam(static_cast<std::uint16_t>(oldId), EvLost), 0);
    EXPECT_TRUE(Shows(1, "Connected", "OK"));
    EXPECT_EQ(CountEvents(EV_DEVICE_CONNECTION_LOST), 0u);
}

struct AddCase {
    const char* what;
    std::string name;
    std::string host;  // "" for an empty address, else the last address byte
    bool accepted;
};

class AddDeviceTest : public DeviceTableTest, public ::testing::WithParamInterface<AddCase> {};

TEST_P(AddDeviceTest, RefusesAnEmptyOrUsedNameOrAddressOnly) {
    const AddCase& c = GetParam();
    StartQuiet();
    const int first = Add("Stage", Address(20), false);
    const std::size_t registered = CountEvents(EV_DEVICE_REGISTERED);
    const std::string address = c.host.empty() ? std::string() : Address(std::stoi(c.host));

    DeviceContext context = Ctx(c.name, address, false);
    const int id = core_->AddDevice(&context);
    if (!c.accepted) {
        EXPECT_EQ(id, -1);
        EXPECT_EQ(core_->DeviceCount(), 1);
        EXPECT_EQ(CountEvents(EV_DEVICE_REGISTERED), registered);
        EXPECT_EQ(core_->Devices()[0]->Name, "Stage");
        EXPECT_EQ(Cell(0, ColName), "Stage");
        EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
        return;
    }
    EXPECT_GT(id, first);
    ASSERT_EQ(core_->DeviceCount(), 2);
    EXPECT_EQ(Cell(1, ColName).toStdString(), c.name);
    const auto events = EventsWithId(EV_DEVICE_REGISTERED);
    ASSERT_EQ(events.size(), registered + 1);
    EXPECT_EQ(events.back().text.value_or(""), c.name + " at " + address);
}

INSTANTIATE_TEST_SUITE_P(Cases, AddDeviceTest,
                         ::testing::Values(AddCase{"EmptyName", "", "21", false},
                                           AddCase{"EmptyAddress", "Balcony", "", false},
                                           AddCase{"UsedAddress", "Balcony", "20", false},
                                           AddCase{"UsedName", "Stage", "21", false},
                                           AddCase{"NameDifferingOnlyInCase", "STAGE", "21", true},
                                           AddCase{"NewNameAndAddress", "Balcony", "21", true}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(DeviceTableTest, AddDeviceWithoutAContextAddsNothing) {
    StartQuiet();
    EXPECT_EQ(core_->AddDevice(nullptr), -1);
    EXPECT_EQ(core_->DeviceCount(), 0);
}

TEST_F(DeviceTableTest, RenamingKeepsTheConnectionAndReaddressingMovesIt) {
    const int first = Sim(80);
    const int second = Sim(81);
    StartQuiet();
    const int id = Add("Delay Tower", Address(80), true);
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    const TTcpCommsThread* thread = core_->Devices()[0]->Connection.get();

    DeviceContext renamed = Ctx("Delay Tower North", Address(80), true);
    ASSERT_TRUE(core_->UpdateDevice(0, &renamed, true));
    EXPECT_EQ(Cell(0, ColName), "Delay Tower North");
    EXPECT_TRUE(Shows(0, "Connected", "OK"));
    EXPECT_EQ(core_->Devices()[0]->Connection.get(), thread);
    EXPECT_FALSE(SimWait(
        first, [](const auto& s) { return s.connections != 1 || !s.connected; }, 500));

    DeviceContext moved = Ctx("Delay Tower North", Address(81), true);
    ASSERT_TRUE(core_->UpdateDevice(0, &moved, true));
    EXPECT_EQ(Cell(0, ColAddress), QString::fromStdString(Address(81)));
    EXPECT_EQ(Cell(0, ColStatus), "Connecting...");
    EXPECT_EQ(core_->Devices()[0]->DeviceId, id);
    EXPECT_TRUE(SimWait(first, [](const auto& s) { return !s.connected; }));
    EXPECT_TRUE(SimWait(second, [](const auto& s) { return s.connections == 1 && s.connected; }));
    ASSERT_TRUE(WaitUntil([&] { return Shows(0, "Connected", "OK"); }));
    Pump(200);  // the replaced thread's end report leaves the new connection alone
    EXPECT_TRUE(Shows(0, "Connected", "OK"));
    EXPECT_EQ(Site().Snapshot(first).connections, 1);

    EXPECT_FALSE(core_->UpdateDevice(5, &moved, true));  // no such row
}

TEST_F(DeviceTableTest, UpdateRefusesTheNameOrAddressOfAnotherDevice) {
    StartQuiet();
    Add("Left", Address(30), false);
    Add("Right", Address(31), false);
    struct Case {
        const char* what;
        std::string name;
        std::string address;
        bool accepted;
    };
    const Case cases[] = {
        {"the other's address", "Left", Address(31), false},
        {"the other's name", "Right", Address(30), false},
        {"its own name and address", "Left", Address(30), true},
        {"a new name and address", "Left Wing", Address(32), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string nameBefore = core_->Devices()[0]->Name;
        const std::string addressBefore = core_->Devices()[0]->IpAddress;
        DeviceContext context = Ctx(c.name, c.address, false);
        context.RegisterMode = false;
        EXPECT_EQ(core_->UpdateDevice(0, &context, true), c.accepted);
        const CMonitorCore::Device& d = *core_->Devices()[0];
        EXPECT_EQ(d.Name, c.accepted ? c.name : nameBefore);
        EXPECT_EQ(d.IpAddress, c.accepted ? c.address : addressBefore);
        EXPECT_EQ(Cell(0, ColName).toStdString(), d.Name);
        EXPECT_EQ(Cell(0, ColAddress).toStdString(), d.IpAddress);
        EXPECT_EQ(core_->Devices()[1]->Name, "Right");
        EXPECT_EQ(core_->Devices()[1]->IpAddress, Address(31));
    }
}

}  // namespace
