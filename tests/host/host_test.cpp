// Tests of the server layer (tasks, headers, media buffer) and of the host with the tests' own plug-in.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "apt_consumer_task.h"
#include "mpf_buffer.h"
#include "mrcp_host.h"
#include "mrcp_recog_engine.h"
#include "mrcp_synth_engine.h"
#include "proc_self.h"

using namespace mrcphost;

namespace {

class pool_holder {
public:
    pool_holder()
    {
        host_initialize();
        apr_pool_create(&pool, nullptr);
    }
    ~pool_holder() { apr_pool_destroy(pool); }
    apr_pool_t* pool = nullptr;
};

// ---- tasks ------------------------------------------------------------------------------------------------

struct task_record {
    std::mutex mutex;
    std::vector<int> handled;
    std::thread::id pre_run_thread, handler_thread, post_run_thread;
    bool pre_run_before_first = false;
    bool post_run = false;
    std::atomic<bool> gate{false};
};

struct task_msg_t {
    int value;
};

task_record* record_of(apt_task_t* task)
{
    return static_cast<task_record*>(apt_consumer_task_object_get(static_cast<apt_consumer_task_t*>(apt_task_object_get(task))));
}

void on_pre_run(apt_task_t* task)
{
    task_record* r = record_of(task);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->pre_run_thread = std::this_thread::get_id();
    r->pre_run_before_first = r->handled.empty();
}

void on_post_run(apt_task_t* task)
{
    task_record* r = record_of(task);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a join that does not wait would miss this
    std::lock_guard<std::mutex> lock(r->mutex);
    r->post_run_thread = std::this_thread::get_id();
    r->post_run = true;
}

apt_bool_t on_message(apt_task_t* task, apt_task_msg_t* msg)
{
    task_record* r = record_of(task);
    while (!r->gate)  // holds the first message so that the others and the end queue up behind it
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> lock(r->mutex);
    r->handler_thread = std::this_thread::get_id();
    r->handled.push_back(reinterpret_cast<task_msg_t*>(msg->data)->value);
    return TRUE;
}

apt_consumer_task_t* make_task(task_record* record, apr_pool_t* pool)
{
    apt_task_msg_pool_t* msg_pool = apt_task_msg_pool_create_dynamic(sizeof(task_msg_t), pool);
    apt_consumer_task_t* consumer = apt_consumer_task_create(record, msg_pool, pool);
    apt_task_vtable_t* vtable = apt_consumer_task_vtable_get(consumer);
    vtable->process_msg = on_message;
    vtable->on_pre_run = on_pre_run;
    vtable->on_post_run = on_post_run;
    return consumer;
}

bool post(apt_task_t* task, int value)
{
    apt_task_msg_t* msg = apt_task_msg_get(task);
    if (!msg)
        return false;
    reinterpret_cast<task_msg_t*>(msg->data)->value = value;
    return apt_task_msg_signal(task, msg) == TRUE;
}

TEST(task, handles_messages_in_order_on_its_thread_and_terminate_waits_for_the_queue)
{
    pool_holder p;
    task_record record;
    apt_consumer_task_t* consumer = make_task(&record, p.pool);
    apt_task_t* task = apt_consumer_task_base_get(consumer);
    ASSERT_TRUE(apt_task_start(task));
    const int count = 200;
    for (int i = 0; i < count; i++)
        ASSERT_TRUE(post(task, i));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        record.gate = true;
    });
    ASSERT_TRUE(apt_task_terminate(task, TRUE));
    // Once terminate returned, every queued message and the post-run hook have run.
    {
        std::lock_guard<std::mutex> lock(record.mutex);
        ASSERT_EQ((size_t)count, record.handled.size());
        for (int i = 0; i < count; i++)
            ASSERT_EQ(i, record.handled[i]);
        EXPECT_TRUE(record.post_run);
        EXPECT_TRUE(record.pre_run_before_first);
        EXPECT_EQ(record.pre_run_thread, record.handler_thread);
        EXPECT_EQ(record.post_run_thread, record.handler_thread);
        EXPECT_NE(std::this_thread::get_id(), record.handler_thread);
    }
    release.join();
    // After the end a message waits for a new start; destroy releases it (no leak under ASan).
    EXPECT_FALSE(apt_task_terminate(task, TRUE));
    EXPECT_TRUE(post(task, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ((size_t)count, record.handled.size());
    EXPECT_TRUE(apt_task_destroy(task));
}

TEST(task, terminate_of_a_task_never_started_fails_and_destroy_does_not_hang)
{
    pool_holder p;
    task_record record;
    record.gate = true;
    apt_task_t* task = apt_consumer_task_base_get(make_task(&record, p.pool));
    EXPECT_FALSE(apt_task_terminate(task, TRUE));
    ASSERT_TRUE(post(task, 1));  // queued before start: handled once started
    ASSERT_TRUE(apt_task_start(task));
    EXPECT_FALSE(apt_task_start(task));
    // Destroy without terminate ends the task instead of joining a thread that never stops.
    EXPECT_TRUE(apt_task_destroy(task));
    EXPECT_EQ(1u, record.handled.size());
}

TEST(task, a_task_left_running_is_ended_with_its_pool)
{
    task_record record;
    record.gate = true;
    {
        pool_holder p;
        apt_task_t* task = apt_consumer_task_base_get(make_task(&record, p.pool));
        ASSERT_TRUE(apt_task_start(task));
        ASSERT_TRUE(post(task, 7));
    }
    EXPECT_TRUE(record.post_run);
    EXPECT_EQ(std::vector<int>{7}, record.handled);
}

// ---- headers ------------------------------------------------------------------------------------------------

mrcp_message_t* request_with(apr_pool_t* pool, mrcp_resource_id resource, mrcp_method_id method,
                             const std::vector<std::pair<const char*, const char*>>& fields)
{
    mrcp_message_t* request = mrcp_request_create(mrcp_resource_get(resource), MRCP_VERSION_2, method, pool);
    for (const auto& f : fields) {
        if (!mrcp_message_header_field_add(request, apt_header_field_create_c(f.first, f.second, pool)))
            return nullptr;
    }
    return request;
}

std::vector<std::pair<apr_size_t, std::string>> walk(const mrcp_message_t* message)
{
    std::vector<std::pair<apr_size_t, std::string>> out;
    for (apt_header_field_t* f = mrcp_message_next_header_field_get(message, nullptr); f;
         f = mrcp_message_next_header_field_get(message, f))
        out.emplace_back(f->id, std::string(apt_string_buffer_get(&f->name)) + ":" + apt_string_buffer_get(&f->value));
    return out;
}

TEST(header, walk_keeps_message_order_with_resource_ids_offset_by_16)
{
    pool_holder p;
    mrcp_message_t* request = request_with(p.pool, MRCP_SYNTHESIZER_RESOURCE, SYNTHESIZER_SET_PARAMS,
                                           {{"Speech-Language", "en-US"},
                                            {"Vendor-Specific-Parameters", "com.x.pitch=high"},
                                            {"prosody-pitch", "x-high"},
                                            {"X-Unknown", "1"},
                                            {"Lexicon-Search-Order", "a b"}});
    ASSERT_NE(nullptr, request);
    std::vector<std::pair<apr_size_t, std::string>> expected = {
        {16 + SYNTHESIZER_HEADER_SPEECH_LANGUAGE, "Speech-Language:en-US"},
        {GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS, "Vendor-Specific-Parameters:com.x.pitch=high"},
        {16 + SYNTHESIZER_HEADER_PROSODY_PITCH, "prosody-pitch:x-high"},
        {(apr_size_t)-1, "X-Unknown:1"},
        {16 + SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER, "Lexicon-Search-Order:a b"}};
    EXPECT_EQ(expected, walk(request));
    EXPECT_EQ(27u, 16 + SYNTHESIZER_HEADER_PROSODY_PITCH);
    EXPECT_EQ(37u, 16 + SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER);
    EXPECT_TRUE(mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_PITCH));
    EXPECT_TRUE(mrcp_generic_header_property_check(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS));
    EXPECT_FALSE(mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_VOICE_NAME));
    EXPECT_FALSE(mrcp_generic_header_property_check(request, GENERIC_HEADER_CONTENT_TYPE));

    // A field once present cannot be added twice; removing it takes it out of the walk.
    EXPECT_FALSE(mrcp_message_header_field_add(request, apt_header_field_create_c("Speech-Language", "de-DE", p.pool)));
    EXPECT_TRUE(mrcp_resource_header_property_remove(request, SYNTHESIZER_HEADER_PROSODY_PITCH));
    EXPECT_FALSE(mrcp_resource_header_property_check(request, SYNTHESIZER_HEADER_PROSODY_PITCH));
    EXPECT_EQ(4u, walk(request).size());
}

TEST(header, property_add_prints_the_typed_value_and_tolerates_unknown_ids)
{
    pool_holder p;
    mrcp_message_t* request = request_with(p.pool, MRCP_RECOGNIZER_RESOURCE, RECOGNIZER_GET_PARAMS, {});
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    EXPECT_EQ(nullptr, mrcp_message_next_header_field_get(response, nullptr));
    mrcp_recog_header_t* header = static_cast<mrcp_recog_header_t*>(mrcp_resource_header_prepare(response));
    ASSERT_NE(nullptr, header);
    header->no_input_timeout = 7000;
    header->completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    EXPECT_TRUE(mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_FALSE(mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_property_add(response, 99));
    EXPECT_TRUE(mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE));
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(response);
    apt_string_assign(&generic->content_type, "text/plain", response->pool);
    EXPECT_TRUE(mrcp_generic_header_property_add(response, GENERIC_HEADER_CONTENT_TYPE));

    std::vector<std::pair<apr_size_t, std::string>> expected = {
        {16 + RECOGNIZER_HEADER_NO_INPUT_TIMEOUT, "No-Input-Timeout:7000"},
        {16 + 99, ":"},
        {16 + RECOGNIZER_HEADER_COMPLETION_CAUSE, "Completion-Cause:002 no-input-timeout"},
        {GENERIC_HEADER_CONTENT_TYPE, "Content-Type:text/plain"}};
    EXPECT_EQ(expected, walk(response));
    EXPECT_FALSE(mrcp_resource_header_property_check(response, 99));
    // The unknown field's name is empty but printable.
    apt_header_field_t* unknown = mrcp_message_next_header_field_get(response, mrcp_message_next_header_field_get(response, nullptr));
    EXPECT_NE(nullptr, unknown->name.buf);
    EXPECT_EQ(0u, unknown->name.length);
    // The response carries the request's identity.
    EXPECT_EQ(MRCP_MESSAGE_TYPE_RESPONSE, response->start_line.message_type);
    EXPECT_EQ(MRCP_STATUS_CODE_SUCCESS, response->start_line.status_code);
    EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, response->start_line.request_state);
    EXPECT_STREQ("GET-PARAMS", response->start_line.method_name.buf);
    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, request->pool);
    EXPECT_STREQ("RECOGNITION-COMPLETE", event->start_line.method_name.buf);
    EXPECT_EQ(MRCP_REQUEST_STATE_UNKNOWN, event->start_line.request_state);
}

struct round_trip_case {
    mrcp_resource_id resource;
    const char* name;
    const char* text;
    const char* printed;  // what the typed value prints back as
};

TEST(header, typed_values_parse_and_print_back)
{
    const round_trip_case cases[] = {
        {MRCP_RECOGNIZER_RESOURCE, "Confidence-Threshold", "0.5", "0.5"},
        {MRCP_RECOGNIZER_RESOURCE, "Sensitivity-Level", " 0.25 ", "0.25"},
        {MRCP_RECOGNIZER_RESOURCE, "No-Input-Timeout", "5000", "5000"},
        {MRCP_RECOGNIZER_RESOURCE, "start-input-timers", "FALSE", "false"},
        {MRCP_RECOGNIZER_RESOURCE, "Speech-Language", "en-US", "en-US"},
        {MRCP_RECOGNIZER_RESOURCE, "Dtmf-Term-Char", "#", "#"},
        {MRCP_RECOGNIZER_RESOURCE, "Completion-Cause", "002 no-input-timeout", "002 no-input-timeout"},
        {MRCP_RECOGNIZER_RESOURCE, "Abort-Phrase-Enrollment", "true", "true"},
        {MRCP_SYNTHESIZER_RESOURCE, "Kill-On-Barge-In", "true", "true"},
        {MRCP_SYNTHESIZER_RESOURCE, "Voice-Gender", "Female", "female"},
        {MRCP_SYNTHESIZER_RESOURCE, "Voice-Age", "30", "30"},
        {MRCP_SYNTHESIZER_RESOURCE, "Prosody-Volume", "loud", "loud"},
        {MRCP_SYNTHESIZER_RESOURCE, "Prosody-Volume", "+10%", "+10.0%"},
        {MRCP_SYNTHESIZER_RESOURCE, "Prosody-Rate", "1.5", "1.5"},
        {MRCP_SYNTHESIZER_RESOURCE, "Prosody-Pitch", "x-high", "x-high"},
        {MRCP_SYNTHESIZER_RESOURCE, "Speak-Length", "+5 word", "+5 word"},
        {MRCP_SYNTHESIZER_RESOURCE, "Jump-Size", "-2 sentence", "-2 sentence"},
        {MRCP_SYNTHESIZER_RESOURCE, "Completion-Cause", "004", "004 error"},
        {MRCP_SYNTHESIZER_RESOURCE, "Content-Length", "12", "12"},
        {MRCP_SYNTHESIZER_RESOURCE, "Vendor-Specific-Parameters", "a=b; c=d", "a=b;c=d"},
        {MRCP_SYNTHESIZER_RESOURCE, "Active-Request-Id-List", "1,2", "1, 2"},
    };
    for (const round_trip_case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.text);
        pool_holder p;
        mrcp_message_t* request = request_with(p.pool, c.resource, 0, {{c.name, c.text}});
        ASSERT_NE(nullptr, request);
        apt_header_field_t* field = mrcp_message_next_header_field_get(request, nullptr);
        ASSERT_NE(nullptr, field);
        const bool generic = field->id < GENERIC_HEADER_COUNT;
        const mrcp_header_accessor_t* accessor =
            generic ? &request->header.generic_header_accessor : &request->header.resource_header_accessor;
        apt_str_t printed;
        ASSERT_TRUE(accessor->vtable->generate_field(accessor, generic ? field->id : field->id - GENERIC_HEADER_COUNT,
                                                     &printed, p.pool));
        EXPECT_EQ(std::string(c.printed), std::string(apt_string_buffer_get(&printed)));
    }
}

TEST(header, completion_causes_print_with_the_names_of_the_message_version)
{
    pool_holder p;
    for (mrcp_version_e version : {MRCP_VERSION_1, MRCP_VERSION_2}) {
        mrcp_message_t* request =
            mrcp_request_create(mrcp_resource_get(MRCP_RECOGNIZER_RESOURCE), version, RECOGNIZER_RECOGNIZE, p.pool);
        mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, p.pool);
        mrcp_recog_header_t* header = static_cast<mrcp_recog_header_t*>(mrcp_resource_header_prepare(event));
        header->completion_cause = RECOGNIZER_COMPLETION_CAUSE_RECOGNITION_TIMEOUT;
        ASSERT_TRUE(mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE));
        apt_header_field_t* field = mrcp_message_next_header_field_get(event, nullptr);
        EXPECT_STREQ(version == MRCP_VERSION_1 ? "003 recognition-timeout" : "003 hotword-maxtime", field->value.buf);
    }
}

TEST(header, typed_values_land_in_the_struct_and_bad_values_are_refused)
{
    pool_holder p;
    mrcp_message_t* recog = request_with(p.pool, MRCP_RECOGNIZER_RESOURCE, RECOGNIZER_RECOGNIZE,
                                         {{"No-Input-Timeout", "5000"}, {"Recognition-Mode", "hotword"}});
    ASSERT_NE(nullptr, recog);
    const mrcp_recog_header_t* rh = static_cast<const mrcp_recog_header_t*>(mrcp_resource_header_get(recog));
    EXPECT_EQ(5000u, rh->no_input_timeout);
    EXPECT_EQ("hotword", std::string(rh->recognition_mode.buf, rh->recognition_mode.length));

    mrcp_message_t* synth = request_with(p.pool, MRCP_SYNTHESIZER_RESOURCE, SYNTHESIZER_SPEAK,
                                         {{"Prosody-Pitch", "low"}, {"Vendor-Specific-Parameters", "Com.X.Pitch=high;b"}});
    ASSERT_NE(nullptr, synth);
    const mrcp_synth_header_t* sh = static_cast<const mrcp_synth_header_t*>(mrcp_resource_header_get(synth));
    EXPECT_EQ(PROSODY_PITCH_TYPE_LABEL, sh->prosody_param.pitch.type);
    EXPECT_EQ(PROSODY_PITCH_LOW, sh->prosody_param.pitch.value.label);
    const mrcp_generic_header_t* gh = mrcp_generic_header_get(synth);
    apt_str_t key;
    apt_string_set(&key, "com.x.pitch");
    const apt_pair_t* pair = apt_pair_array_find(gh->vendor_specific_params, &key);
    ASSERT_NE(nullptr, pair);
    EXPECT_STREQ("high", pair->value.buf);
    ASSERT_EQ(2, apt_pair_array_size_get(gh->vendor_specific_params));
    EXPECT_TRUE(apt_string_is_empty(&apt_pair_array_get(gh->vendor_specific_params, 1)->value));

    const std::pair<mrcp_resource_id, std::pair<const char*, const char*>> bad[] = {
        {MRCP_RECOGNIZER_RESOURCE, {"Confidence-Threshold", "abc"}},
        {MRCP_RECOGNIZER_RESOURCE, {"Start-Input-Timers", "maybe"}},
        {MRCP_RECOGNIZER_RESOURCE, {"No-Input-Timeout", "-5"}},
        {MRCP_RECOGNIZER_RESOURCE, {"Completion-Cause", "099 nothing"}},
        {MRCP_SYNTHESIZER_RESOURCE, {"Voice-Gender", "robot"}},
        {MRCP_SYNTHESIZER_RESOURCE, {"Speak-Length", "+5 lightyears"}},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.second.first);
        EXPECT_EQ(nullptr, request_with(p.pool, b.first, 0, {b.second}));
    }
}

// ---- media buffer -------------------------------------------------------------------------------------------

struct frame_reader {
    explicit frame_reader(size_t size) : data(size, 'x')
    {
        memset(&frame, 0, sizeof(frame));
        frame.codec_frame.buffer = data.data();
        frame.codec_frame.size = size;
    }
    void read(mpf_buffer_t* buffer)
    {
        frame.type = MEDIA_FRAME_TYPE_NONE;
        std::fill(data.begin(), data.end(), 'x');
        mpf_buffer_frame_read(buffer, &frame);
    }
    std::vector<char> data;
    mpf_frame_t frame;
};

TEST(media_buffer, reads_across_frame_borders_and_pads_with_silence)
{
    pool_holder p;
    mpf_buffer_t* buffer = mpf_buffer_create(p.pool);
    frame_reader r(160);
    r.read(buffer);
    EXPECT_EQ(MEDIA_FRAME_TYPE_NONE, r.frame.type);
    EXPECT_EQ(std::vector<char>(160, 0), r.data);

    std::vector<char> a(100, 1), b(150, 2);
    mpf_buffer_audio_write(buffer, a.data(), a.size());
    mpf_buffer_audio_write(buffer, b.data(), b.size());
    EXPECT_EQ(250u, mpf_buffer_get_size(buffer));
    r.read(buffer);
    EXPECT_TRUE(r.frame.type & MEDIA_FRAME_TYPE_AUDIO);
    EXPECT_EQ(std::vector<char>(100, 1), std::vector<char>(r.data.begin(), r.data.begin() + 100));
    EXPECT_EQ(std::vector<char>(60, 2), std::vector<char>(r.data.begin() + 100, r.data.end()));
    EXPECT_EQ(90u, mpf_buffer_get_size(buffer));
    r.read(buffer);
    EXPECT_EQ(std::vector<char>(90, 2), std::vector<char>(r.data.begin(), r.data.begin() + 90));
    EXPECT_EQ(std::vector<char>(70, 0), std::vector<char>(r.data.begin() + 90, r.data.end()));
    EXPECT_EQ(0u, mpf_buffer_get_size(buffer));
    mpf_buffer_destroy(buffer);
}

TEST(media_buffer, end_mark_sets_the_event_flag_once_and_ends_the_frame)
{
    pool_holder p;
    mpf_buffer_t* buffer = mpf_buffer_create(p.pool);
    std::vector<char> a(100, 5), b(40, 6);
    mpf_buffer_audio_write(buffer, a.data(), a.size());
    mpf_buffer_event_write(buffer, MEDIA_FRAME_TYPE_EVENT);
    mpf_buffer_audio_write(buffer, b.data(), b.size());
    frame_reader r(160);
    r.read(buffer);
    EXPECT_TRUE(r.frame.type & MEDIA_FRAME_TYPE_EVENT);
    EXPECT_TRUE(r.frame.type & MEDIA_FRAME_TYPE_AUDIO);
    EXPECT_EQ(std::vector<char>(60, 0), std::vector<char>(r.data.begin() + 100, r.data.end()));
    EXPECT_EQ(40u, mpf_buffer_get_size(buffer));
    r.read(buffer);
    EXPECT_FALSE(r.frame.type & MEDIA_FRAME_TYPE_EVENT);
    EXPECT_EQ(std::vector<char>(40, 6), std::vector<char>(r.data.begin(), r.data.begin() + 40));
    r.read(buffer);
    EXPECT_EQ(MEDIA_FRAME_TYPE_NONE, r.frame.type);
    mpf_buffer_destroy(buffer);
}

TEST(media_buffer, restart_discards_audio_and_marks_and_resets_the_size)
{
    pool_holder p;
    mpf_buffer_t* buffer = mpf_buffer_create(p.pool);
    std::vector<char> a(1000, 3);
    mpf_buffer_audio_write(buffer, a.data(), a.size());
    mpf_buffer_event_write(buffer, MEDIA_FRAME_TYPE_EVENT);
    frame_reader r(160);
    r.read(buffer);
    EXPECT_TRUE(mpf_buffer_restart(buffer));
    EXPECT_EQ(0u, mpf_buffer_get_size(buffer));
    r.read(buffer);
    EXPECT_EQ(MEDIA_FRAME_TYPE_NONE, r.frame.type);
    EXPECT_EQ(std::vector<char>(160, 0), r.data);
    mpf_buffer_destroy(buffer);
}

TEST(media_buffer, every_read_makes_progress_while_a_writer_runs)
{
    pool_holder p;
    mpf_buffer_t* buffer = mpf_buffer_create(p.pool);
    const int chunks = 300;
    std::thread writer([&] {
        std::vector<char> chunk(77, 9);
        for (int i = 0; i < chunks; i++) {
            mpf_buffer_audio_write(buffer, chunk.data(), chunk.size());
            if (i % 10 == 0)
                mpf_buffer_event_write(buffer, MEDIA_FRAME_TYPE_EVENT);
        }
    });
    writer.join();
    // The drain loop of a STOP: it must end, with at most one read per frame of audio plus one per mark.
    frame_reader r(262144 / 1024);
    size_t reads = 0, events = 0;
    const size_t limit = chunks * 77 / 256 + chunks / 10 + 2;
    while (mpf_buffer_get_size(buffer) > 0 && reads <= limit) {
        r.read(buffer);
        reads++;
        if (r.frame.type & MEDIA_FRAME_TYPE_EVENT)
            events++;
    }
    EXPECT_EQ(0u, mpf_buffer_get_size(buffer));
    EXPECT_LE(reads, limit);
    EXPECT_EQ((size_t)chunks / 10, events);
    mpf_buffer_destroy(buffer);
}

// ---- logging, layout, version -------------------------------------------------------------------------------

TEST(runtime, log_records_reach_the_capture_with_their_priority)
{
    host_initialize();
    log_capture& capture = log_capture::instance();
    capture.set_quiet(true);
    capture.clear();
    apt_log(APT_LOG_MARK, APT_PRIO_WARNING, "runtime-test %d %s", 42, "words");
    ASSERT_TRUE(capture.contains("runtime-test 42 words", APT_PRIO_WARNING));
    EXPECT_FALSE(capture.contains("runtime-test 42 words", APT_PRIO_ERROR));
    capture.set_priority(APT_PRIO_INFO);
    apt_log(APT_LOG_MARK, APT_PRIO_DEBUG, "runtime-test dropped");
    capture.set_priority(APT_PRIO_DEBUG);
    EXPECT_FALSE(capture.contains("runtime-test dropped"));
    capture.set_quiet(false);
}

TEST(runtime, directory_layout_and_version_check)
{
    pool_holder p;
    apt_dir_layout_t* layout = apt_custom_dir_layout_create("/etc/x", nullptr, nullptr, "/var/d", nullptr, p.pool);
    EXPECT_STREQ("/etc/x", apt_dir_layout_path_get(layout, APT_LAYOUT_CONF_DIR));
    EXPECT_EQ(nullptr, apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR));
    EXPECT_EQ(nullptr, apt_dir_layout_path_get(layout, 99));
    EXPECT_STREQ("/var/d/s1.pcm", apt_datadir_filepath_get(layout, "s1.pcm", p.pool));
    EXPECT_EQ(nullptr, apt_vardir_filepath_get(layout, "s1.pcm", p.pool));

    const std::pair<mrcp_plugin_version_t, bool> versions[] = {
        {{1, 5, 0, 0}, true}, {{1, 4, 9, 0}, true}, {{0, 9, 9, 0}, true},
        {{1, 5, 1, 0}, false}, {{1, 6, 0, 0}, false}, {{2, 0, 0, 0}, false}};
    for (const auto& v : versions)
        EXPECT_EQ(v.second, mrcp_plugin_version_check(&v.first) == TRUE) << v.first.major << "." << v.first.minor;
}

TEST(runtime, message_line_is_one_stable_line)
{
    message_record r;
    r.type = MRCP_MESSAGE_TYPE_EVENT;
    r.name = "RECOGNITION-COMPLETE";
    r.channel_id = "ch1";
    r.request_id = 3;
    r.status_code = 200;
    r.request_state = MRCP_REQUEST_STATE_COMPLETE;
    r.completion_cause = 0;
    r.fields = {{"Completion-Cause", "000 success"}, {"Content-Type", "text/plain"}};
    r.body = "a\\b\r\nc";
    EXPECT_EQ("EVENT RECOGNITION-COMPLETE channel=ch1 request-id=3 status=200 state=COMPLETE cause=0 "
              "headers={Completion-Cause: 000 success; Content-Type: text/plain} body=<a\\\\b\\r\\nc>",
              r.line());
}

// ---- the host with the test plug-in ---------------------------------------------------------------------------

class host_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_initialize();
        log_capture::instance().set_quiet(true);
        log_capture::instance().clear();
    }
    void TearDown() override
    {
        if (HasFailure())
            fprintf(stderr, "%s", log_capture::instance().dump().c_str());
        log_capture::instance().set_quiet(false);
    }
    std::unique_ptr<plugin> load(const char* path, const std::map<std::string, std::string>& params = {})
    {
        plugin_options options;
        options.path = path;
        options.conf_dir = "/tmp/host-test-conf";
        options.data_dir = "/tmp";
        options.params = params;
        std::unique_ptr<plugin> p(new plugin(options));
        std::string error;
        EXPECT_TRUE(p->load(&error)) << error;
        return p;
    }
};

TEST_F(host_fixture, recognizer_plugin_end_to_end)
{
    std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN);
    ASSERT_TRUE(p->loaded());
    EXPECT_EQ(MRCP_RECOGNIZER_RESOURCE, p->engine()->resource_id);
    ASSERT_TRUE(p->open());
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: engine open [answer] conf [/tmp/host-test-conf]"));
    EXPECT_TRUE(log_capture::instance().wait_for("test-plugin: task Test Recog pre-run", DEFAULT_TIMEOUT_MS));

    channel* ch = p->create_channel("ch1", MRCP_VERSION_2);
    ASSERT_NE(nullptr, ch);
    // The id is there while the plug-in creates the channel.
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: channel created [ch1] version [2]"));
    EXPECT_FALSE(ch->is_open());
    ASSERT_TRUE(ch->open());
    EXPECT_TRUE(ch->is_open());

    message_record m;
    mrcp_request_id id = ch->send("SET-PARAMS", {"No-Input-Timeout: 5000", "Content-Type: text/plain",
                                                 "Speech-Language: en-US"});
    ASSERT_EQ(1u, id);
    ASSERT_TRUE(ch->wait_response(id, DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ("RESPONSE SET-PARAMS channel=ch1 request-id=1 status=200 state=COMPLETE cause=- "
              "headers={No-Input-Timeout: 5000; Content-Type: text/plain; Speech-Language: en-US} body=<>",
              m.line());

    id = ch->send("INTERPRET", {"Content-Type: text/plain"}, "hello\nworld");
    ASSERT_TRUE(ch->wait_response(id, DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state);
    ASSERT_TRUE(ch->wait_event("INTERPRETATION-COMPLETE", DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ("hello\nworld", m.body);
    EXPECT_EQ(0, m.completion_cause);
    EXPECT_EQ(id, m.request_id);

    // The media clock feeds the queued audio to write_frame, then silence.
    id = ch->send("RECOGNIZE", {});
    ASSERT_TRUE(ch->wait_response(id, DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ(200, m.status_code);
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state);
    ch->queue_audio(std::vector<char>(8000, 0x22));
    ASSERT_TRUE(ch->wait_event("START-OF-INPUT", DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state);
    ASSERT_TRUE(ch->wait_event("RECOGNITION-COMPLETE", DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ("audio-bytes=8000", m.body);
    EXPECT_EQ("text/plain", m.field("content-type"));
    EXPECT_EQ(0, m.completion_cause);
    EXPECT_EQ(MRCP_REQUEST_STATE_COMPLETE, m.request_state);
    EXPECT_GE(ch->frames_written(), 50u);

    // STOP is parked by the engine task and answered from the media thread.
    mrcp_request_id recognize = ch->send("RECOGNIZE", {});
    ASSERT_TRUE(ch->wait_response(recognize, DEFAULT_TIMEOUT_MS));
    mrcp_request_id stop = ch->send("STOP", {});
    ASSERT_TRUE(ch->wait_response(stop, DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ(std::to_string(recognize), m.field("Active-Request-Id-List"));

    EXPECT_TRUE(ch->close());
    EXPECT_FALSE(ch->is_open());
    EXPECT_FALSE(ch->media_running());
    EXPECT_TRUE(p->close());
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: task Test Recog post-run"));
    p->unload();
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: engine destroyed"));
    // No open, close or request went unanswered or untaken.
    EXPECT_FALSE(log_capture::instance().contains("host:", APT_PRIO_WARNING));
}

TEST_F(host_fixture, open_flag_follows_the_plugin_answer)
{
    std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN);
    ASSERT_TRUE(p->open());
    channel* refused = p->create_channel("refuse-1");
    ASSERT_NE(nullptr, refused);
    EXPECT_FALSE(refused->open());
    EXPECT_EQ(open_answer::failure, refused->open_result());
    EXPECT_FALSE(refused->is_open());
    EXPECT_FALSE(refused->media_running());

    channel* mute = p->create_channel("mute-1");
    ASSERT_NE(nullptr, mute);
    EXPECT_FALSE(mute->open(200));
    EXPECT_EQ(open_answer::none, mute->open_result());
    EXPECT_FALSE(mute->is_open());
    EXPECT_EQ(nullptr, p->create_channel("mute-1"));  // ids are unique
}

TEST_F(host_fixture, engine_open_that_is_never_answered_or_refused)
{
    {
        std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN, {{"open", "never"}});
        EXPECT_FALSE(p->open(200));
        EXPECT_EQ(open_answer::none, p->open_result());
        EXPECT_FALSE(p->close());
    }
    std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN, {{"open", "fail"}});
    EXPECT_FALSE(p->open());
    EXPECT_EQ(open_answer::failure, p->open_result());
}

// The server never destroys a channel whose close it has not seen answered (the plug-in may still be
// working on it): it keeps it until the engine has closed.
TEST_F(host_fixture, channel_whose_close_is_not_answered_is_kept_until_unload)
{
    std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN);
    ASSERT_TRUE(p->open());
    for (const char* id : {"deaf1", "ch1"}) {
        channel* ch = p->create_channel(id);
        ASSERT_NE(nullptr, ch);
        ASSERT_TRUE(ch->open());
    }
    EXPECT_FALSE(p->find_channel("deaf1")->close(200));
    p->destroy_channel("deaf1");
    p->destroy_channel("ch1");
    EXPECT_EQ(nullptr, p->find_channel("deaf1"));
    EXPECT_TRUE(log_capture::instance().contains("host: channel deaf1 close not answered, kept", APT_PRIO_WARNING));
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: channel destroyed [ch1]"));
    EXPECT_FALSE(log_capture::instance().contains("test-plugin: channel destroyed [deaf1]"));
    p->unload();
    EXPECT_TRUE(log_capture::instance().contains("test-plugin: channel destroyed [deaf1]"));
}

TEST_F(host_fixture, recognize_without_a_negotiated_codec_fails)
{
    std::unique_ptr<plugin> p = load(TEST_RECOG_PLUGIN);
    ASSERT_TRUE(p->open());
    channel* ch = p->create_channel("ch1");
    ASSERT_TRUE(ch->set_codec(0));
    ASSERT_TRUE(ch->open());
    message_record m;
    ASSERT_TRUE(ch->wait_response(ch->send("RECOGNIZE"), DEFAULT_TIMEOUT_MS, &m));
    EXPECT_EQ(407, m.status_code);
    std::string error;
    EXPECT_EQ(0u, ch->send("SPEAK", {}, "", &error));
    EXPECT_NE(std::string::npos, error.find("unknown method"));
    EXPECT_EQ(0u, ch->send("SET-PARAMS", {"Confidence-Threshold: high"}, "", &error));
}

TEST_F(host_fixture, synthesizer_plugin_plays_audio_through_read_frame)
{
    for (apr_uint16_t rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        std::unique_ptr<plugin> p = load(TEST_SYNTH_PLUGIN);
        ASSERT_TRUE(p->open());
        channel* ch = p->create_channel("s1", MRCP_VERSION_1);
        ASSERT_TRUE(ch->set_codec(rate));
        ASSERT_TRUE(ch->open());
        message_record m;
        mrcp_request_id id = ch->send("SPEAK", {"Content-Type: text/plain", "Prosody-Pitch: high"}, "hello");
        ASSERT_TRUE(ch->wait_response(id, DEFAULT_TIMEOUT_MS, &m));
        EXPECT_EQ(MRCP_REQUEST_STATE_INPROGRESS, m.request_state);
        ASSERT_TRUE(ch->wait_event("SPEAK-COMPLETE", DEFAULT_TIMEOUT_MS, &m));
        EXPECT_EQ(0, m.completion_cause);
        EXPECT_EQ("000 normal", m.field("Completion-Cause"));
        std::vector<char> audio = ch->received_audio();
        EXPECT_EQ(std::vector<char>((size_t)rate / 100 * 2 * 20, 0x11), audio);
        EXPECT_EQ(1u, ch->received_event_frames());
        EXPECT_TRUE(ch->close());
    }
}

// ---- the program ------------------------------------------------------------------------------------------------

struct program_result {
    int status = -1;
    std::string out;
};

program_result run_host(const std::string& args, const std::string& script)
{
    char path[] = "/tmp/host-test-script-XXXXXX";
    int fd = mkstemp(path);
    program_result result;
    if (fd < 0)
        return result;
    if (write(fd, script.data(), script.size()) != (ssize_t)script.size()) {
        close(fd);
        return result;
    }
    close(fd);
    std::string command = std::string(MRCP_HOST_PROGRAM) + " -q " + args + " " + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
            result.out.append(buf, n);
        int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    unlink(path);
    return result;
}

TEST(program, runs_a_script_against_both_test_plugins)
{
    char pcm_path[] = "/tmp/host-test-pcm-XXXXXX";
    int fd = mkstemp(pcm_path);
    ASSERT_GE(fd, 0);
    std::vector<char> pcm(3200, 0x33);
    ASSERT_EQ((ssize_t)pcm.size(), write(fd, pcm.data(), pcm.size()));
    close(fd);
    std::string out_path = std::string(pcm_path) + ".out";
    std::string script =
        "# a recognition and a synthesis\n"
        "open ch1 test_recog_plugin rate=16000\n"
        "request ch1 SET-PARAMS\n"
        "No-Input-Timeout: 5000\n"
        "Vendor-Specific-Parameters: a=b;c=d\n"
        "end\n"
        "wait-response ch1\n"
        "request ch1 RECOGNIZE\n"
        "end\n"
        "wait-response ch1 last\n"
        "stream ch1 " + std::string(pcm_path) + "\n"
        "wait-event ch1 RECOGNITION-COMPLETE timeout=5000\n"
        "close ch1\n"
        "open s1 test_synth_plugin\n"
        "save-audio s1 " + out_path + ".none\n"  // nothing read yet: an empty file
        "request s1 SPEAK\n"
        "Content-Type: text/plain\n"
        "body\n"
        "line one\n"
        "line two\n"
        "end\n"
        "wait-event s1 SPEAK-COMPLETE\n"
        "save-audio s1 " + out_path + "\n"
        "wait-log test-plugin: request [SPEAK]\n";
    program_result r = run_host(std::string("--plugin ") + TEST_RECOG_PLUGIN + " --conf /tmp --plugin " +
                                    TEST_SYNTH_PLUGIN,
                                script);
    EXPECT_EQ(0, r.status) << r.out;
    const std::string expected[] = {
        "ENGINE test_recog_plugin loaded resource=speechrecog\n",
        "ENGINE test_synth_plugin open=TRUE\n",
        "CHANNEL ch1 open=TRUE is_open=1\n",
        "SENT SET-PARAMS channel=ch1 request-id=1\n",
        "RESPONSE SET-PARAMS channel=ch1 request-id=1 status=200 state=COMPLETE cause=- "
        "headers={No-Input-Timeout: 5000; Vendor-Specific-Parameters: a=b;c=d} body=<>\n",
        "RESPONSE RECOGNIZE channel=ch1 request-id=2 status=200 state=IN-PROGRESS cause=- headers={} body=<>\n",
        "EVENT START-OF-INPUT channel=ch1 request-id=2 status=200 state=IN-PROGRESS",
        "EVENT RECOGNITION-COMPLETE channel=ch1 request-id=2 status=200 state=COMPLETE cause=0 "
        "headers={Completion-Cause: 000 success; Content-Type: text/plain} body=<audio-bytes=3200>\n",
        "CHANNEL ch1 close=ANSWERED\n",
        "AUDIO s1 bytes=0 event-frames=0 file=" + out_path + ".none\n",
        "SENT SPEAK channel=s1 request-id=1\n",
        "EVENT SPEAK-COMPLETE channel=s1 request-id=1 status=200 state=COMPLETE cause=0",
        "AUDIO s1 bytes=3200 event-frames=1 file=" + out_path,
        "CHANNEL s1 close=ANSWERED\n",
        "ENGINE test_recog_plugin close=ANSWERED\n",
        "ENGINE test_synth_plugin unloaded\n"};
    for (const std::string& line : expected)
        EXPECT_NE(std::string::npos, r.out.find(line)) << "missing: " << line << "\n" << r.out;
    std::ifstream saved(out_path, std::ios::binary);
    std::vector<char> audio((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::vector<char>(3200, 0x11), audio);
    std::ifstream none(out_path + ".none", std::ios::binary);
    EXPECT_TRUE(none.is_open());
    EXPECT_EQ(std::istreambuf_iterator<char>(), std::istreambuf_iterator<char>(none));
    unlink(pcm_path);
    unlink(out_path.c_str());
    unlink((out_path + ".none").c_str());
}

TEST(program, a_wait_that_times_out_fails_the_script)
{
    program_result r = run_host(std::string("--plugin ") + TEST_RECOG_PLUGIN,
                                "open ch1 test_recog_plugin\n"
                                "wait-event ch1 RECOGNITION-COMPLETE timeout=100\n"
                                "request ch1 SET-PARAMS\nend\n");
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("ERROR line 2: no RECOGNITION-COMPLETE event on ch1")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("SENT SET-PARAMS")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("ENGINE test_recog_plugin unloaded")) << r.out;
}

}  // namespace

namespace {

int threads_named(const std::string& name)
{
    const std::vector<std::string> names = proc_self::thread_names();
    return (int)std::count(names.begin(), names.end(), name);
}

// Where the stream calls of one channel came from.
struct stream_calls {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    size_t count = 0;
    size_t total() { std::lock_guard<std::mutex> lock(mutex); return count; }
};

bool wait_until(const std::function<bool()>& pred, int timeout_ms = DEFAULT_TIMEOUT_MS)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

// Streams of every channel of both plug-ins on one media thread, each called only between its channel's open
// and close; the thread ends with the last stream.
TEST_F(host_fixture, one_media_thread_calls_every_open_stream)
{
    std::unique_ptr<plugin> recog = load(TEST_RECOG_PLUGIN);
    std::unique_ptr<plugin> synth = load(TEST_SYNTH_PLUGIN);
    ASSERT_TRUE(recog->open());
    ASSERT_TRUE(synth->open());
    const std::vector<std::string> ids = {"r1", "r2", "r3", "s1", "s2"};
    std::vector<channel*> channels;
    std::vector<std::unique_ptr<stream_calls>> calls;
    for (const std::string& id : ids) {
        channel* ch = (id[0] == 'r' ? recog : synth)->create_channel(id);
        ASSERT_NE(nullptr, ch);
        calls.emplace_back(new stream_calls());
        stream_calls* c = calls.back().get();
        ch->set_frame_observer([c](const channel::media_call&) {
            std::lock_guard<std::mutex> lock(c->mutex);
            c->threads.insert(std::this_thread::get_id());
            c->count++;
        });
        ASSERT_TRUE(ch->open());
        channels.push_back(ch);
    }
    std::atomic<long> ticks{0};
    media_engine::instance().set_tick_observer([&ticks](const media_engine::tick&) { ticks++; });
    media_engine::figures before = media_engine::instance().counts();
    for (auto& c : calls)
        ASSERT_TRUE(wait_until([&] { return c->total() >= 5; }));
    EXPECT_EQ(1, threads_named("host-media"));
    std::set<std::thread::id> threads;
    for (auto& c : calls) {
        std::lock_guard<std::mutex> lock(c->mutex);
        threads.insert(c->threads.begin(), c->threads.end());
    }
    EXPECT_EQ(1u, threads.size());
    EXPECT_EQ(0u, threads.count(std::this_thread::get_id()));
    EXPECT_GE(media_engine::instance().counts().ticks, before.ticks + 5);
    EXPECT_GE(ticks.load(), 5);

    // A closed channel is called no more while the others go on; its stream closed before the channel did.
    ASSERT_TRUE(channels[1]->close());
    size_t after_close = calls[1]->total();
    size_t others = calls[0]->total();
    ASSERT_TRUE(wait_until([&] { return calls[0]->total() >= others + 5; }));
    EXPECT_EQ(after_close, calls[1]->total());
    recog->destroy_channel("r3");
    others = calls[3]->total();
    ASSERT_TRUE(wait_until([&] { return calls[3]->total() >= others + 5; }));
    EXPECT_TRUE(channels[0]->media_running());

    std::vector<std::string> log;
    for (const log_record& r : log_capture::instance().records())
        log.push_back(r.text);
    auto at = [&](const std::string& text) {
        return std::find(log.begin(), log.end(), "test-plugin: " + text) - log.begin();
    };
    for (const std::string id : {"r2", "r3"}) {
        EXPECT_LT(at("channel open [" + id + "]"), at("stream open [" + id + "]")) << id;
        EXPECT_LT(at("stream open [" + id + "]"), at("stream close [" + id + "]")) << id;
        EXPECT_LT(at("stream close [" + id + "]"), at("channel close [" + id + "]")) << id;
        EXPECT_LT(at("channel close [" + id + "]"), (long)log.size()) << id;
    }

    media_engine::instance().set_tick_observer(nullptr);
    recog->unload();
    synth->unload();
    EXPECT_EQ(0, threads_named("host-media"));
}
