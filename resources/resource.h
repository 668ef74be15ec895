/* Resource ids of kvtrcifx.dll: icons and the context menu "IDR_MAIN". Included by the
   resource scripts and by the window code. */
#ifndef KVTRCIFX_RESOURCE_H
#define KVTRCIFX_RESOURCE_H

#define IDI_TRACEWND 128 /* the trace window and KVTrcSrv.exe */
#define IDI_ONTOP 141    /* the OnTop button, shown at 16 x 16 */

/* Commands of the context menu (the first sub-menu of "IDR_MAIN"). */
#define IDM_SAVELIST 32773
#define IDM_NOTHING 32774
#define IDM_SETTINGS 32775
#define IDM_DELETEFILE 32776
#define IDM_MARK 32777
#define IDM_NEXTMARK 32778
#define IDM_PREVMARK 32779
#define IDM_FIND 32780
#define IDM_FINDNEXT 32781
#define IDM_FINDPREV 32782
#define IDM_DELMARKS 32783
#define IDM_LOADPROFILE 32784
#define IDM_SAVEPROFILE 32785
#define IDM_VIEWER 32787
#define IDM_TELEGRAM 32788

#endif
