package com.wq.tav.adapter;

import java.nio.ByteBuffer;
import java.util.concurrent.atomic.AtomicInteger;

// Test version of the adapter class: the natives the library serves and the
// static callbacks it makes. The callbacks count their calls and record what
// the calling thread's GTUID window held at that moment.
public class GTUID {
    public static final AtomicInteger puts = new AtomicInteger();
    public static final AtomicInteger gets = new AtomicInteger();
    public static final AtomicInteger stacks = new AtomicInteger();
    public static volatile boolean throwOnPut;
    // rGTUID starts a new transaction itself, which would call rGTUID again.
    public static volatile boolean recurseOnPut;
    // The window of the current thread, as returned by thrSTART.
    public static final ThreadLocal<ByteBuffer> window = new ThreadLocal<>();
    // Flag byte of the window seen by the latest rGTUID.
    public static volatile int flagAtPut = -1;

    public static void rGTUID() {
        puts.incrementAndGet();
        ByteBuffer w = window.get();
        if (w != null) flagAtPut = w.get(4);
        if (throwOnPut) throw new IllegalStateException("thrown by rGTUID");
        if (recurseOnPut) new GTUID().createGTUID();
    }

    // Run by sGTUID: what Java does before the library sends its GTUID.
    public static volatile Runnable onGet;

    public static void sGTUID() {
        gets.incrementAndGet();
        Runnable r = onGet;
        if (r != null) r.run();
    }

    public static void rCallStack() {
        stacks.incrementAndGet();
    }

    public native void initMID();
    public native ByteBuffer thrSTART();
    public native int getCOUNT();
    public native int getSIZE();
    public native int getTID();

    public native void createGTUID();
    public native void setGTUID(int type);
    public native void setBL(int v);
    public native void setSYSTEM(byte[] info);
    public native void keepGTUID(byte v);
    public native void clearGTUID();
    public native void procSTART();
    public native void procEND();
    public native void keepENDSEND();
    public native void sendEND();
    public native void printGTUID(ByteBuffer buffer);
    public native int setCREATEGTUID(int v);
    public native void setGTUID2(int type, String ip, int port);

    public native void setTRCODE(byte[] trcode, byte[] ip, byte routing, int mask, byte trblock);
    public native void setTRCODE2(byte[] trcode, byte[] custinfo, byte[] userinfo, byte[] ip,
                                  byte routing, int mask, byte trblock);
    public native void setTRCODE6(byte[] trcode, byte[] custinfo, byte[] userinfo, byte[] ip,
                                  byte routing, int mask, byte trblock, byte[] url);
    public native void sendSVR(String scode, String pcode, String svcname, String ip);
    public native void recvSVR(String scode, String pcode, String svcname, String ip);
    public native int wasMAKE();
    public native void connectMASTER(int type);
    public native void closeMASTER(int type);

    public native String getLOGMODE();
    public native void setLOGMODE(String mode);
    public native int getLOGLEVEL();
    public native void setLOGLEVEL(int level);
    public native String getLOGPATH();
    public native void setLOGPATH(String path);
    public native String getIPINFO();
    public native void setIPINFO(String text);
    public native void removeIPINFO(String text);
    public native String getIPHISTORY();
    public native int isSERVICE(String ip, int port);
    public native int isSERVICEFD(int fd);
    public native int getMODE();
    public native int getKEEPMODE();
    public native void setJMSNAME(String name);
    public native void setACTION(int action);
    public native int getACTION();
    public native void setSERVICENAME(String name);
}
