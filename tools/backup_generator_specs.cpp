// Ready-made backup contents: the demo device with recognisable people and
// conversations, and large synthetic backups for the benchmarks.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/backup_generator_internal.h"

namespace kestrel::gen {
namespace {

using detail::Rng;

constexpr int64_t kStartOf2013 = 378691200;   // 2013-01-01 00:00 UTC, seconds since 2001-01-01
constexpr int64_t kStartOf2012Unix = 1325376000;  // 2012-01-01 00:00 UTC, Unix seconds

const char* const kMobile = "_$!<Mobile>!$_";
const char* const kHome = "_$!<Home>!$_";
const char* const kWork = "_$!<Work>!$_";
const char* const kHomePage = "_$!<HomePage>!$_";
const char* const kIPhone = "iPhone";

PersonValue phone(const std::string& v, const char* label = kMobile) { return {3, label, v}; }
PersonValue email(const std::string& v, const char* label = kHome) { return {4, label, v}; }
PersonValue webPage(const std::string& v) { return {22, kHomePage, v}; }

std::optional<std::string> opt(const char* s) { return s ? std::optional<std::string>(s) : std::nullopt; }

Person makePerson(const char* first, const char* last, std::vector<PersonValue> values) {
    Person p;
    p.first = opt(first);
    p.last = opt(last);
    p.values = std::move(values);
    return p;
}

// --- the demo ------------------------------------------------------------------

std::vector<Person> demoPersons() {
    std::vector<Person> v;
    Person p = makePerson("Olivia", "Bennett", {phone("+1 (555) 201-3344", kIPhone), email("olivia.bennett@example.com")});
    p.nickname = "Liv";
    p.note = "Allergic to peanuts. Prefers texts over calls.";
    p.birthday = "1988-03-14";
    v.push_back(p);
    p = makePerson("Liam", "Carter", {phone("+1 555-201-7788"), email("liam.carter@example.com", kWork)});
    p.middle = "James";
    p.organization = "Northwind Labs";
    p.jobTitle = "Software Engineer";
    v.push_back(p);
    v.push_back(makePerson("Sophia", "Martinez", {phone("+15552019021"), phone("+1 (555) 301-4400", kHome)}));
    p = makePerson("Noah", "Thompson", {phone("+1 (555) 202-1180", kWork)});
    p.organization = "Thompson Plumbing & Heating";
    p.jobTitle = "Owner";
    v.push_back(p);
    p = makePerson("Ava", "Patel", {phone("+1 555-202-4455"), email("ava.patel@example.com"),
                                    webPage("http://avapatel.example.com")});
    p.jobTitle = "Photographer";
    v.push_back(p);
    p = makePerson("Ethan", "Walker", {phone("+1 (555) 202-8912")});
    p.middle = "Robert";
    v.push_back(p);
    p = makePerson("Mia", "Robinson", {phone("+1 555-203-0607", kIPhone), email("mia.r@example.com")});
    p.note = "Book club on Thursdays";
    v.push_back(p);
    p = makePerson("Lucas", "Nguyen", {phone("+15552033390")});
    p.organization = "City General Hospital";
    p.department = "Cardiology";
    p.jobTitle = "Nurse";
    v.push_back(p);
    p = makePerson("Isabella", "Rossi", {phone("+1 (555) 203-6723"), webPage("http://caferossi.example.com")});
    p.organization = "Café Rossi";
    v.push_back(p);
    v.push_back(makePerson("Mason", "Clark", {phone("+1 555-204-1212")}));
    p = makePerson("Charlotte", "Hughes", {phone("+1 (555) 204-5566"), {5, kHome, std::nullopt}});
    p.birthday = "1985-04-12";
    v.push_back(p);
    v.push_back(makePerson("Logan", "Foster", {phone("+1 555-204-9001")}));
    v.push_back(makePerson("Amelia", "Brooks", {phone("+15552051432", kIPhone)}));
    p = makePerson("James", "O'Connor", {phone("+1 (555) 205-6671")});
    p.organization = "Riverside Soccer Club";
    p.jobTitle = "Coach";
    v.push_back(p);
    p = makePerson("Harper", "Simmons", {phone("+1 555-206-2210")});
    p.middle = "Lee";
    v.push_back(p);
    v.push_back(makePerson("Benjamin", "Kim", {phone("+1 (555) 206-7845"), email("ben.kim@example.org", kWork)}));
    p = makePerson("Evelyn", "Wright", {phone("+1 555-207-3090", kWork)});
    p.note = "Landlord. Rent is due on the 1st; she prefers a text when it has been sent.";
    v.push_back(p);
    p = makePerson("Henry", "Adams", {phone("(555) 207-8800", kWork)});
    p.prefix = "Dr.";
    p.organization = "Maple Street Dental";
    p.jobTitle = "Dentist";
    v.push_back(p);
    v.push_back(makePerson("Grandma", nullptr, {phone("+1 555-123-4567", kHome)}));
    p = makePerson(nullptr, nullptr, {phone("(555) 208-4000", kWork), webPage("http://pizzapalace.example.com")});
    p.organization = "Pizza Palace";
    v.push_back(p);
    p = makePerson("Zoë", "Laurent", {phone("+33 6 12 34 56 78"), email("zoe.laurent@example.fr")});
    p.note = "Met in Lyon — speaks French and English";
    v.push_back(p);
    v.push_back(makePerson("Samuel", "Reed", {phone("555.210.3311")}));
    // Removed from the phone; their rows survive only as free space.
    p = makePerson("Daniel", "Scott", {phone("+1 555-208-7321"), email("dan.scott@example.com")});
    p.deleted = true;
    v.push_back(p);
    p = makePerson("Grace", "Miller", {phone("+1 (555) 209-1456")});
    p.organization = "Blue Harbor Realty";
    p.jobTitle = "Agent";
    p.deleted = true;
    v.push_back(p);
    p = makePerson("Jack", "Turner", {phone("+15552095599")});
    p.note = "Old gym buddy";
    p.deleted = true;
    v.push_back(p);
    v.push_back(makePerson("Chloe", "Evans", {phone("+1 555-209-8870"), email("chloe.evans@example.com")}));
    return v;
}

struct Line {
    bool fromMe;
    const char* text;
    bool deleted = false;
};

struct Correspondent {
    const char* id;
    const char* service;
    int weight;                // share of the year's messages
    std::vector<Line> script;  // said first, in order; then the common lines
    bool chatDeleted = false;  // the whole conversation was deleted
};

std::vector<Correspondent> demoCorrespondents() {
    return {
        {"+15552013344", "iMessage", 40,
         {{false, "Are we still on for dinner Friday?"},
          {true, "Yes! 7:30 at the Thai place on Main?"},
          {false, "Perfect. I'll book a table for four."},
          {false, "Mom says happy birthday 🎉🎂"}}},
        {"+15552017788", "SMS", 25,
         {{true, "Can you send me the slides from today's meeting?"},
          {false, "Sent them to your work email, check spam if you don't see them"},
          {false, "The server is down again. Not coming home before 10, sorry", true}}},
        {"+15552019021", "iMessage", 25,
         {{false, "Café ☕ at 10 tomorrow?"},
          {true, "Sure, the usual one near the park"},
          {false, "Don't tell anyone about the surprise party for Mia. Saturday 7pm at Luigi's, bring a gift!", true},
          {true, "My lips are sealed 🤐"}}},
        {"+15552021180", "SMS", 8,
         {{false, "Hi, this is Noah from Thompson Plumbing. I can come Tuesday between 9 and 11 to fix the sink."},
          {true, "Tuesday works, thank you!"},
          {false, "Invoice: $180 for parts and labour. Thanks for your business."}}},
        {"+15552024455", "iMessage", 14,
         {{false, "The photos from the wedding are ready 📸 I'll upload them tonight"},
          {true, "Can't wait to see them!"}}},
        {"+15552028912", "SMS", 10, {{false, "Did you watch the game last night?? Unbelievable ending"}}},
        {"+15552030607", "iMessage", 20,
         {{false, "Book club is at my place this Thursday. We're reading The Night Circus"},
          {true, "I'm only halfway through, no spoilers please 😅"}}},
        {"+15552033390", "SMS", 8, {{false, "Night shift again, call you tomorrow"}}},
        {"+15552036723", "SMS", 6, {{false, "Your order is ready: 2 croissants and a large latte. Merci!"}}},
        {"+15552041212", "SMS", 8, {{true, "Do you still have my ladder?"}, {false, "Oops, yes. I'll drop it off Sunday"}}},
        {"+15552045566", "SMS", 10,
         {{false, "Reminder: dentist appointment on the 14th at 3:15pm"}, {true, "Thanks, added it to my calendar"}}},
        {"+15552049001", "SMS", 6, {{false, "Running late, 10 minutes"}}},
        {"+15552051432", "iMessage", 10, {{false, "Lunch next week? I found a new ramen place 🍜"}}},
        {"+15552056671", "SMS", 8,
         {{false, "Practice moved to 5:30 on Wednesday because of the rain. Bring water and shin guards."}}},
        {"+15552062210", "SMS", 6, {{false, "Happy New Year!! 🎆 Miss you guys"}}},
        {"+15552067845", "iMessage", 8, {{true, "Can you review my pull request when you get a chance?"}}},
        {"+15552073090", "SMS", 10,
         {{true, "Hi Evelyn, the rent for March has been sent."},
          {false, "Received, thank you. The plumber comes Tuesday."}}},
        {"+15551234567", "SMS", 12,
         {{false, "Did you eat? Call me when you can. Love, Grandma"}, {true, "I will call you Sunday, love you!"}}},
        {"+33612345678", "iMessage", 8,
         {{false, "Bonjour ! Je serai à Paris la semaine prochaine, tu es libre ?"},
          {true, "Oui ! Dîner mardi soir ?"}}},
        {"+15552087321", "SMS", 8, {{false, "Hey, it's Dan. New number, save it!"}}},
        {"+15552091456", "SMS", 6,
         {{false, "The house on Elm Street has an open house Saturday 1-4pm. Want me to put your name down?"}}},
        {"+15552095599", "SMS", 5, {{false, "Gym at 6am tomorrow? No excuses this time 💪"}}},
        {"+15552098870", "iMessage", 10, {{false, "Did you get the tickets? 🎟️"}, {true, "Two tickets, row F!"}}},
        {"liam.carter@example.com", "iMessage", 8, {{false, "Sent from my iPad: the slides are on the shared drive"}}},
        {"ava.patel@example.com", "iMessage", 6, {{false, "Here is the link to the gallery, password is sunflower"}}},
        {"zoe.laurent@example.fr", "iMessage", 5, {{false, "Merci pour hier soir, c'était super ! 😊"}}},
        {"72975", "SMS", 8,
         {{false, "Your verification code is 482913. Do not share this code with anyone."},
          {false, "BANK ALERT: A purchase of $54.20 at GROCERY MART was approved on your card ending 4411."}}},
        {"+15559870012", "SMS", 4, {{false, "Hi, is this still Jordan's number? It's Casey from the conference."}}},
        {"+15553141592", "SMS", 3, {{false, "Your package will be delivered today between 2pm and 6pm."}}},
        {"+15556660101", "SMS", 4,
         {{false, "I know it's late. Can we talk?"}, {true, "Not tonight."}, {false, "Please delete this thread."}},
         true},
    };
}

const std::vector<Line>& commonLines() {
    static const std::vector<Line> lines = {
        {false, "On my way!"},
        {true, "See you soon"},
        {false, "Call me when you get this"},
        {true, "Just landed ✈️"},
        {false, "Haha that's hilarious 😂"},
        {true, "Why did the scarecrow win an award? Because he was outstanding in his field."},
        {false, "Don't forget to pick up milk and bread on the way home"},
        {true, "Can you grab the kids at 3:30? I'm stuck in a meeting"},
        {false, "Thanks so much, you're the best"},
        {true, "Happy birthday! Hope you have an amazing day 🎂"},
        {false, "What time is the movie?"},
        {true, "The 8:15 showing, I already bought the tickets"},
        {false, "Weather looks terrible this weekend, let's move the hike to next Saturday"},
        {true, "Sounds good to me"},
        {false, "Are you home?"},
        {true, "Yes, come over"},
        {false, "I left my keys at your place again 🙈"},
        {true, "Parking is impossible here, I'll be a few minutes late"},
        {false, "Good luck with the interview tomorrow! You'll do great"},
        {true, "Thank you!! Fingers crossed 🤞"},
        {false, "Reminder: the water bill is due Friday"},
        {true, "Paid it this morning"},
        {false, "Pizza tonight? 🍕"},
        {true, "Always yes to pizza"},
        {false, "Did you see the photos I sent?"},
        {true, "Love them! The one by the lake is my favourite"},
        {false, "Traffic on the bridge is awful, take the long way"},
        {true, "Noted, thanks for the heads up"},
        {false, "Can we reschedule to next week? Something came up at work"},
        {true, "No problem, just let me know which day"},
        {false, "I'm at the crème brûlée place you told me about, it's incredible"},
        {true, "Told you! Get the almond croissant too"},
        {false, "Knock knock"},
        {true, "Who's there?"},
        {false, "Lettuce. Lettuce in, it's cold out here! 🥶"},
        {true, "😂😂😂"},
        {false, "Meeting moved to 2pm"},
        {true, "Ok"},
        {false, "Where did you park? I can't find the car"},
        {true, "Level 3, near the elevators"},
        {false, "Remember to bring your passport for Saturday, the check-in closes 45 minutes before departure"},
        {true, "Already packed!"},
        {false, "How was the doctor?"},
        {true, "All good, nothing to worry about"},
        {false, "Let me know when you're free to talk"},
        {true, "After 6 works"},
        {false, "Congratulations on the new job!! 🥳"},
        {true, "Thank you! Starting on Monday"},
        {false, "Can I borrow your drill this weekend?"},
        {true, "Sure, it's in the garage"},
        {false, "Good night 😴"},
        {true, "Night!"},
    };
    return lines;
}

// --- synthetic text ------------------------------------------------------------

const char* const kWords[] = {
    "meet",    "tomorrow", "dinner",   "call",     "later",   "weekend",  "office",  "coffee",   "train",
    "station", "running",  "late",     "sorry",    "thanks",  "great",    "idea",    "movie",    "tickets",
    "tonight", "home",     "kids",     "school",   "pickup",  "groceries", "milk",   "bread",    "birthday",
    "party",   "Saturday", "Sunday",   "Monday",   "meeting", "moved",    "noon",    "park",     "beach",
    "weather", "rain",     "sunny",    "flight",   "landed",  "airport",  "hotel",   "check",    "email",
    "photos",  "sent",     "link",     "password", "garage",  "keys",     "car",     "parking",  "doctor",
    "appointment", "dentist", "gym",   "run",      "lunch",   "pizza",    "ramen",   "sushi",    "recipe",
    "oven",    "game",     "score",    "team",     "practice", "coach",   "book",    "chapter",  "library",
    "rent",    "bill",     "paid",     "bank",     "transfer", "invoice", "project", "deadline", "report",
    "slides",  "review",   "draft",    "final",    "question", "answer",  "maybe",   "definitely", "never",
    "always",  "soon",     "now",      "please",   "okay",    "yes",      "no",      "love",     "miss",
    "you",     "we",       "they",     "the",      "a",       "and",      "but",     "with",     "at",
};

std::string syntheticText(Rng& rng) {
    constexpr uint32_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
    size_t target = 10 + rng.below(191);  // 10 to 200 bytes
    std::string text;
    while (text.size() < target) {
        std::string word = kWords[rng.below(kWordCount)];
        if (text.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
        if (!text.empty()) text += rng.chance(10) ? ", " : " ";
        text += word;
    }
    text.resize(target);
    if (text.back() == ' ' || text.back() == ',') text.back() = '.';
    return text;
}

// Exactly floor(n * fraction) of items 0..n-1 are picked, spread evenly.
bool pickedEvenly(int index, double fraction) {
    return std::floor((index + 1) * fraction) > std::floor(index * fraction);
}

std::string handleNumber(int index, uint32_t seed) {
    // 7919 is prime and coprime to 8,000,000, so the numbers never repeat.
    int64_t digits = 2000000 + (static_cast<int64_t>(index) * 7919 + seed % 1000 * 13) % 8000000;
    return "+1555" + std::to_string(digits);
}

std::string displayForm(const std::string& number, int style) {
    // number is "+1" followed by ten digits
    std::string area = number.substr(2, 3), mid = number.substr(5, 3), tail = number.substr(8, 4);
    switch (style % 3) {
        case 0:
            return "+1 (" + area + ") " + mid + "-" + tail;
        case 1:
            return "+1 " + area + "-" + mid + "-" + tail;
        default:
            return number;
    }
}

const char* const kFirstNames[] = {"Anna",  "Ben",   "Clara", "David", "Elena", "Felix", "Grace", "Hugo",
                                   "Iris",  "Jonas", "Kara",  "Leo",   "Maya",  "Nils",  "Olga",  "Paul",
                                   "Quinn", "Rosa",  "Sam",   "Tara",  "Uma",   "Victor", "Wendy", "Yusuf"};
const char* const kLastNames[] = {"Adler", "Berg",  "Costa", "Dunn",   "Ellis", "Frank", "Garcia", "Hale",
                                  "Ito",   "Jansen", "Kowal", "Lopez", "Moss",  "Novak", "Owens",  "Price",
                                  "Ruiz",  "Silva", "Tanaka", "Vogel", "Weber", "Young", "Zhou"};
const char* const kCompanies[] = {"Acme Corp", "Globex", "Initech", "Umbrella Health", "Stark Logistics"};

}  // namespace

BackupSpec demoSpec() {
    BackupSpec plan;
    plan.device.deviceName = "Emma's iPhone";
    plan.device.serial = "F2LKQ7H3DTWD";
    plan.device.productType = "iPhone5,2";
    plan.device.productVersion = "6.1.3";
    plan.device.buildVersion = "10B329";
    plan.device.itunesVersion = "11.0.4";
    plan.layout = MessageLayout::IOS6;
    plan.seed = 2013;
    plan.persons = demoPersons();

    std::vector<Correspondent> people = demoCorrespondents();
    int totalWeight = 0;
    for (const Correspondent& c : people) {
        Handle h;
        h.id = c.id;
        h.service = c.service;
        h.deleted = c.chatDeleted;
        plan.handles.push_back(h);
        totalWeight += c.weight;
    }

    Rng rng(20130101);
    const std::vector<Line>& common = commonLines();
    std::vector<size_t> scriptPos(people.size(), 0), commonPos(people.size(), 0);
    constexpr int kMessages = 360;
    constexpr int64_t kYear = 365 * 86400;
    for (int j = 0; j < kMessages; ++j) {
        // Weighted choice of the correspondent.
        int r = static_cast<int>(rng.below(static_cast<uint32_t>(totalWeight)));
        size_t who = 0;
        while (r >= people[who].weight) r -= people[who++].weight;
        const Correspondent& c = people[who];
        // After its own lines a conversation walks through the everyday ones, each
        // from a different starting point, so that questions precede their answers.
        Line line = scriptPos[who] < c.script.size() ? c.script[scriptPos[who]++]
                                                     : common[(who * 7 + commonPos[who]++) % common.size()];
        Message m;
        m.text = line.text;
        m.is_from_me = line.fromMe;
        m.handle_id = static_cast<int64_t>(who) + 1;  // handles get row numbers 1, 2, ... in list order
        m.service = c.service;
        // One slot per message through the year; the time of day falls between 8:00 and 22:00.
        m.date = kStartOf2013 + j * kYear / kMessages + 8 * 3600 + rng.below(14 * 3600);
        // The first conversation keeps all its messages; elsewhere about one in six is gone.
        m.deleted = line.deleted || c.chatDeleted || (who != 0 && rng.chance(18));
        plan.messages.push_back(std::move(m));
    }
    return plan;
}

BackupSpec syntheticSpec(int messages, int contacts, int handles, double deletedFraction, uint32_t seed,
                         MessageLayout layout) {
    return syntheticSpec(messages, contacts, handles, deletedFraction, seed, layout, 0.0);
}

BackupSpec syntheticSpec(int messages, int contacts, int handles, double deletedFraction, uint32_t seed,
                         MessageLayout layout, double personDeletedFraction) {
    BackupSpec plan;
    plan.layout = layout;
    plan.seed = seed;
    char serial[16];
    std::snprintf(serial, sizeof serial, "SYN%09u", seed);
    plan.device.serial = serial;
    plan.device.deviceName = "Synthetic iPhone";
    switch (layout) {
        case MessageLayout::IOS6:
            break;
        case MessageLayout::IOS5:
            plan.device.productType = "iPhone4,1";
            plan.device.productVersion = "5.1.1";
            plan.device.buildVersion = "9B206";
            plan.device.itunesVersion = "10.6.1";
            break;
        case MessageLayout::IOS5Plain:
            plan.device.productType = "iPhone3,1";
            plan.device.productVersion = "4.3.5";
            plan.device.buildVersion = "8L1";
            plan.device.itunesVersion = "10.5";
            break;
    }
    Rng rng(uint64_t{seed} * 0x9E3779B9ULL + 1);

    std::vector<std::string> numbers;
    std::vector<bool> imessage;
    for (int i = 0; i < handles; ++i) {
        numbers.push_back(handleNumber(i, seed));
        imessage.push_back(layout != MessageLayout::IOS5Plain && rng.chance(33));
        if (layout == MessageLayout::IOS6) {
            Handle h;
            h.id = numbers.back();
            h.service = imessage.back() ? "iMessage" : "SMS";
            plan.handles.push_back(std::move(h));
        }
    }

    constexpr auto kFirst = static_cast<uint32_t>(sizeof(kFirstNames) / sizeof(kFirstNames[0]));
    constexpr auto kLast = static_cast<uint32_t>(sizeof(kLastNames) / sizeof(kLastNames[0]));
    for (int i = 0; i < contacts; ++i) {
        Person p;
        auto u = static_cast<uint32_t>(i);
        p.first = kFirstNames[u % kFirst];
        p.last = kLastNames[(u / kFirst + u) % kLast];
        if (i < handles) {
            p.values.push_back(phone(displayForm(numbers[static_cast<size_t>(i)], i), i % 4 == 0 ? kIPhone : kMobile));
        } else {
            char other[32];
            std::snprintf(other, sizeof other, "+1 (444) %03u-%04u", rng.below(1000), rng.below(10000));
            p.values.push_back(phone(other, kHome));
        }
        if (i % 3 == 0) {
            std::string address = *p.first + "." + *p.last + std::to_string(i) + "@example.com";
            for (char& c : address) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            p.values.push_back(email(address));
        }
        if (i % 5 == 0) {
            p.organization = kCompanies[u % 5];
            p.jobTitle = "Manager";
        }
        if (i % 7 == 0) p.note = "Met at " + std::string(kCompanies[(u + 2) % 5]);
        p.deleted = pickedEvenly(i, personDeletedFraction);
        plan.persons.push_back(std::move(p));
    }

    const bool ios6 = layout == MessageLayout::IOS6;
    int64_t date = ios6 ? kStartOf2013 : kStartOf2012Unix;
    for (int j = 0; j < messages; ++j) {
        Message m;
        date += 1 + rng.below(900);
        m.date = date;
        m.text = syntheticText(rng);
        m.is_from_me = rng.chance(45);
        m.deleted = pickedEvenly(j, deletedFraction);
        if (handles > 0) {
            // Lower-numbered correspondents are written to more often.
            auto n = static_cast<uint32_t>(handles);
            uint32_t h = std::min(rng.below(n), rng.below(n));
            if (ios6) {
                m.handle_id = static_cast<int64_t>(h) + 1;
                m.service = imessage[h] ? "iMessage" : "SMS";
            } else {
                m.address = numbers[h];
                m.flags = m.is_from_me ? 3 : 2;
                if (imessage[h]) {
                    m.is_madrid = true;
                    m.madrid_handle = numbers[h];
                    m.madrid_flags = m.is_from_me ? 16387 : 2;
                }
            }
        } else if (!ios6) {
            m.flags = m.is_from_me ? 3 : 2;
        }
        plan.messages.push_back(std::move(m));
    }
    return plan;
}

}  // namespace kestrel::gen
