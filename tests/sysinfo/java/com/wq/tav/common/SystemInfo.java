package com.wq.tav.common;

import java.nio.ByteBuffer;

/** Process and host figures from libsysinfo. */
public class SystemInfo {
    static {
        System.loadLibrary("sysinfo");
    }

    public static native int getCurrPID();
    public static native int isAliveProc(int pid);
    public static native int sendSignal(int pid, int sig);
    public static native int checkProcessInfoList();
    public static native double getMyProcCpu();
    public static native double getProcCpu(int pid);
    public static native double getProcCpu2(int pid);
    public static native double getSysCpu();
    public static native int getSysCpuCount();
    public static native int getSysProcCount();
    public static native int getSysThreadCount();
    public static native double getProcMem(int pid);
    public static native double getMallocMem();
    public static native double getSysMem();
    public static native double getSysMemTot();
    public static native int getProcCpuMemStructSize();
    public static native void getProcCpuMem(String name, ByteBuffer out);
    public static native String getSysOverview();
    public static native double[][] getArrayProcessInfo(int[] pids);
}
