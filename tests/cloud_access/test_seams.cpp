// The plug-in seams of the endpoint, as the tests' channel implements them.
#include "test_channel.h"

void ws_channel_on_message(ws_channel_t* channel, int id, message_ptr msg)
{
    channel->enter();
    channel->add_message(id, msg->get_opcode() == websocketpp::frame::opcode::binary, msg->get_payload());
    if (channel->on_message)
        channel->on_message(id);
    channel->leave();
}

void ws_channel_on_lost(ws_channel_t* channel, int id)
{
    channel->enter();
    if (channel->on_lost)
        channel->on_lost(id);
    channel->add_lost(id);
    channel->leave();
}
