// LZW coding of one byte buffer into another: codes of 9 to 12 bits packed
// most significant bit first, no clear code and no end code; when the
// dictionary is full both sides restart silently at the same point.
#pragma once

#include "libs/tools/ZrByteBuffer.h"

struct XEncodeDictionaryValue {
    unsigned byte;
    unsigned code;
    XEncodeDictionaryValue* firstChild;
    XEncodeDictionaryValue* nextSibling;
};

struct XDecodeDictionaryValue {
    unsigned byte;
    XDecodeDictionaryValue* prefix;
};

class XCodecLZW {
public:
    XCodecLZW();
    virtual ~XCodecLZW();
    XCodecLZW(XCodecLZW const&) = delete;
    XCodecLZW& operator=(XCodecLZW const&) = delete;

    // Compresses all of in into out (emptied first; a borrowed out is
    // rewound and receives what fits). False when memory for the dictionary
    // can't be had or out could not take every byte.
    bool encode(ZrByteBuffer& in, ZrByteBuffer& out);
    // Expands all of in into out. Malformed or cut-off input stops decoding;
    // out keeps what was written before.
    void decode(ZrByteBuffer& in, ZrByteBuffer& out);

    static constexpr unsigned kDictionarySize = 4096;

private:
    struct Half {
        unsigned nextCode;
        unsigned char startWidth;
        unsigned char width;
        unsigned literalCount;
        unsigned highestLiteral;
        unsigned outAccumulator;
        unsigned char outBits;
        unsigned inAccumulator;
        unsigned char inBits;
    };

    // Encoder steps.
    bool initDictionary_1_Encode();
    void initDictionary_2_Encode();
    XEncodeDictionaryValue* findNode(XEncodeDictionaryValue* entry, unsigned byte);
    bool addNode(XEncodeDictionaryValue* entry, XEncodeDictionaryValue* found, unsigned byte);
    bool idDictionaryFull() const { return mEnc.nextCode == kDictionarySize; }
    void writeCodeLR(unsigned code, ZrByteBuffer& out);
    void completeEncodingLR(ZrByteBuffer& out);
    unsigned readInput(ZrByteBuffer& in);
    bool isEndInput(ZrByteBuffer& in) const;
    void removeDictionaryEncode();
    void putByte(unsigned char b, ZrByteBuffer& out);

    // Decoder steps.
    bool initDictionary_1_Decode();
    void initDictionary_2_Decode();
    bool readCodeLR(ZrByteBuffer& in, unsigned& code);
    void writeString(unsigned prev, unsigned code, unsigned& first, ZrByteBuffer& out);
    void writeLink(XDecodeDictionaryValue* entry, unsigned& firstOut, ZrByteBuffer& out);
    void addString(unsigned prev, unsigned byte);
    void writeOutput(unsigned char byte, ZrByteBuffer& out);
    void completeOutput(ZrByteBuffer& out);
    void removeDictionaryDecode();

    Half mEnc;
    Half mDec;
    XEncodeDictionaryValue** mEncodeDictionary;
    XDecodeDictionaryValue** mDecodeDictionary;
    // All decoder entries are made at once; this is their block.
    XDecodeDictionaryValue* mDecodeEntries;
    bool mOutputShort;
};
