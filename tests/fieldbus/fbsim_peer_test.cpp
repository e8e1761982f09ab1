// The simulator's plain register traffic checked by an independent client (libmodbus).
#include <gtest/gtest.h>
#include <modbus.h>

#include "tests/support/PtyPair.h"
#include "tools/fbsim/Server.h"
#include "tools/fbsim/Sim.h"

namespace {

TEST(FbsimPeer, AnIndependentClientReadsWritesAndIdentifies) {
    testsupport::PtyPair pty;
    fbsim::Engine engine;
    fbsim::UnitSetup setup;
    setup.address = 3;
    setup.version = 5;
    setup.build = 0x41;
    setup.option = 0x0051;
    setup.posts.resize(1);
    setup.active_status = 0x10;
    auto unit = fbsim::AddUnit(engine, setup);
    fbsim::RtuServer server(engine, pty.FarFd());

    modbus_t* ctx = modbus_new_rtu(pty.SlavePath().c_str(), 19200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_connect(ctx), 0);
    modbus_set_slave(ctx, 3);
    modbus_set_response_timeout(ctx, 2, 0);

    uint16_t regs[3] = {};
    ASSERT_EQ(modbus_read_registers(ctx, 0, 3, regs), 3);
    EXPECT_EQ(regs[0], 3);
    EXPECT_EQ(regs[1], 1);
    const uint16_t dose[4] = {0x3030, 0x3030, 0x3030, 0x3132};
    ASSERT_EQ(modbus_write_registers(ctx, 256 + 46, 4, dose), 4);
    uint16_t back[4] = {};
    ASSERT_EQ(modbus_read_registers(ctx, 256 + 46, 4, back), 4);
    EXPECT_EQ(back[3], 0x3132);
    EXPECT_EQ(modbus_read_registers(ctx, 900, 1, regs), -1) << "an absent register";
    EXPECT_EQ(errno, EMBXILADD);

    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    const uint8_t status[] = {3, 0x07};
    ASSERT_GT(modbus_send_raw_request(ctx, status, sizeof status), 0);
    ASSERT_EQ(modbus_receive_confirmation(ctx, rsp), 5);
    EXPECT_EQ(rsp[2], 0x10);
    const uint8_t id[] = {3, 0x11};
    ASSERT_GT(modbus_send_raw_request(ctx, id, sizeof id), 0);
    const int n = modbus_receive_confirmation(ctx, rsp);
    ASSERT_EQ(n, 13);
    // Byte count, type 0x20, run indicator, version, build, option word.
    EXPECT_EQ(std::vector<uint8_t>(rsp + 2, rsp + 11),
              (std::vector<uint8_t>{8, 0x20, 0xFF, 0, 5, 0, 0x41, 0, 0x51}));
    modbus_close(ctx);
    modbus_free(ctx);
}

// The sensor, monitor and terminal as a device shows them on the wire, read with libmodbus,
// against the documented register layouts (not the models that read them).
TEST(FbsimPeer, SensorMonitorAndTerminalLayouts) {
    testsupport::PtyPair pty;
    fbsim::Engine engine;
    fbsim::FlowSensorSetup f;
    f.address = 4;
    f.current_v = 1000000;  // 1 l
    f.temperature = 25.0f;
    fbsim::AddFlowSensor(engine, f);
    fbsim::GroundingSetup g;
    g.address = 5;
    g.capacity = 1.0f;
    fbsim::AddGroundingMonitor(engine, g);
    fbsim::TerminalSetup t;
    t.address = 6;
    fbsim::AddTerminal(engine, t);
    fbsim::RtuServer server(engine, pty.FarFd());

    modbus_t* ctx = modbus_new_rtu(pty.SlavePath().c_str(), 19200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(modbus_connect(ctx), 0);
    modbus_set_response_timeout(ctx, 2, 0);
    uint16_t r[11] = {};
    modbus_set_slave(ctx, 4);
    ASSERT_EQ(modbus_read_registers(ctx, 0, 11, r), 11);
    EXPECT_EQ(std::vector<uint16_t>(r + 2, r + 6), (std::vector<uint16_t>{0, 0, 0x000F, 0x4240}));
    EXPECT_EQ(r[9], 0x0000) << "the temperature's low half first";
    EXPECT_EQ(r[10], 0x41C8);
    const uint16_t zero = 0;
    ASSERT_EQ(modbus_write_registers(ctx, 22, 1, &zero), 1);
    ASSERT_EQ(modbus_read_registers(ctx, 0, 1, r), 1);
    EXPECT_EQ(r[0], 0) << "a reset of the state";

    modbus_set_slave(ctx, 5);
    ASSERT_EQ(modbus_read_registers(ctx, 0, 3, r), 3);
    EXPECT_EQ(r[1], 0x0000) << "the capacitance's low word first";
    EXPECT_EQ(r[2], 0x3F80);

    modbus_set_slave(ctx, 6);
    fbsim::TerminalKey(engine, 6, '5', 1, "12");
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    const uint8_t status[] = {6, 0x07};
    ASSERT_GT(modbus_send_raw_request(ctx, status, sizeof status), 0);
    ASSERT_EQ(modbus_receive_confirmation(ctx, rsp), 5);
    EXPECT_EQ(rsp[2], 0x02) << "a key waiting";
    ASSERT_EQ(modbus_read_registers(ctx, 255, 3, r), 3);
    EXPECT_EQ(r[0], 0x0235);
    EXPECT_EQ(r[1], 0x0102) << "buffer 1, two characters";
    EXPECT_EQ(r[2], 0x3132);
    const uint16_t ack = 0x0035;
    ASSERT_EQ(modbus_write_registers(ctx, 255, 1, &ack), 1);
    ASSERT_GT(modbus_send_raw_request(ctx, status, sizeof status), 0);
    ASSERT_EQ(modbus_receive_confirmation(ctx, rsp), 5);
    EXPECT_EQ(rsp[2], 0x00) << "the status follows register 255";
    modbus_close(ctx);
    modbus_free(ctx);
}

TEST(FbsimFrames, LengthsByFunction) {
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x03", 2)), 8u);
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x11", 2)), 4u);
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x10\x00\x00\x00\x02", 6)), 0u) << "wait";
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x10\x00\x00\x00\x02\x04", 7)), 13u);
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x42\x21\x03", 4)), 10u);
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x42\x21\x10\x00\x01\x00\x01\x02", 9)), 13u);
    EXPECT_EQ(fbsim::FrameLength(std::string("\x01\x2B", 2)), SIZE_MAX);
}

}  // namespace
